#include "receivedecoder.h"

#include "serialcontrol.h"

ReceiveDecoder::ReceiveDecoder(Kyrserie &kyrserie, SerialControl &comm) : m_k(kyrserie), m_comm(comm)
{
    // A sample cut in half by a lost device never gets its other half: the reopened device's
    // first byte starts a new pair. The same after a gap left by discarded bytes.
    QObject::connect(&comm, &SerialControl::streamRestarted, &comm, [this] {
        restart(m_state.fase == 1 ? QStringLiteral("se perdió el puerto y se volvió a abrir; se descartó 1 byte "
                                                   "(media muestra cortada por la pérdida)")
                                  : QStringLiteral("se perdió el puerto y se volvió a abrir; no se perdió ningún byte recibido"));
    });
    QObject::connect(&comm, &SerialControl::bytesDiscarded, &comm, [this](qint64 bytes) {
        restart(QStringLiteral("se descartaron %1 bytes (%2 muestras) que no cabían en espera").arg(bytes).arg(bytes / 2));
    });
}

void ReceiveDecoder::setConsumer(SampleConsumer *consumer)
{
    m_consumer = consumer;
    m_comm.setTrackArrivals(consumer != nullptr);
}

void ReceiveDecoder::restart(const QString &what)
{
    m_state.fase = 0;
    if (m_consumer)
        m_consumer->event(what);
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
    if (m_consumer)
        m_consumer->sample(quint16(m_k.valores[m_k.contador.value()]), m_comm.lastByteArrival());
    return true;
}
