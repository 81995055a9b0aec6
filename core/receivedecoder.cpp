#include "receivedecoder.h"

#include "serialcontrol.h"

ReceiveDecoder::ReceiveDecoder(Kyrserie &kyrserie, SerialControl &comm) : m_k(kyrserie), m_comm(comm)
{
    comm.setOnMark([this](const StreamEvent &e) { onMark(e); });
    comm.setRawTap([this](const char *data, qsizetype size, qint64 position) {
        if (hasConsumers())
            emitBytes(data, size, position);
    });
}

void ReceiveDecoder::onMark(StreamEvent e)
{
    // A sample cut in half by a lost device never gets its other half: the reopened device's
    // first byte starts a new pair. The same after a gap left by discarded bytes.
    if (e.kind == StreamEvent::Kind::Reopened || e.kind == StreamEvent::Kind::Discarded) {
        if (e.kind == StreamEvent::Kind::Reopened)
            e.bytes = m_state.fase;
        m_state.fase = 0;
    }
    emitEvent(e);
    if (m_onEvent)
        m_onEvent(e);
}

bool ReceiveDecoder::onComm()
{
    if (m_comm.CommEvent() != SerialControl::kEventReceive)
        return false;
    m_comm.setInputMode(SerialControl::kInputModeBinary);
    m_comm.setInputLen(1);
    m_state.recibido = m_comm.Input();
    if (m_state.recibido.isEmpty())
        return false;
    m_state.octetos = m_state.recibido;
    if (!decodeByte(m_state, m_k, static_cast<quint8>(m_state.octetos.at(0))))
        return false;
    const quint64 index = m_index++;
    if (hasConsumers())
        emitSample({index, quint16(m_k.valores[m_k.contador.value()]), m_comm.lastByteArrival(),
                    m_comm.backlog().consumed()});
    return true;
}
