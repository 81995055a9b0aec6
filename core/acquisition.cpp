#include "acquisition.h"

#include "platformerror.h"

#include <chrono>

Acquisition::Acquisition(const PortChoice &choice, QObject *parent)
    : QObject(parent), m_comm(std::make_unique<SerialControl>()),
      m_decoder(std::make_unique<ReceiveDecoder>(m_k, *m_comm))
{
    m_comm->setObjectName(QStringLiteral("MSComm1"));
    const qint64 unixNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
    m_unixAtZero = unixNow - m_comm->clockNanos();
    if (choice.com1)
        m_comm->setNativeDevice(1, *choice.com1);
    if (choice.com2)
        m_comm->setNativeDevice(2, *choice.com2);
    m_comm->setReconnect(choice.reconnect);

    m_comm->setOnComm([this] {
        try {
            m_decoder->onComm();
        } catch (const PlatformError &e) {
            emit failed(e.message());
        }
    });
    m_decoder->setOnEvent([this](const StreamEvent &e) {
        if (e.kind == StreamEvent::Kind::Discarded)
            emit discarded(e);
    });
    connect(m_comm.get(), &SerialControl::deliveryDone, this, &Acquisition::delivered);
    connect(m_comm.get(), &SerialControl::portOpenChanged, this, &Acquisition::portOpenChanged);
    connect(m_comm.get(), &SerialControl::failed, this, &Acquisition::failed);
}

Acquisition::~Acquisition()
{
    // Consumers outlive nothing here: they are told the source is gone before it goes.
    m_decoder.reset();
}

QDateTime Acquisition::wallTime(qint64 clockNanos) const
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(unixNanos(clockNanos) / 1'000'000);
    return t.toOffsetFromUtc(t.offsetFromUtc());
}

void Acquisition::choosePort(qint16 port)
{
    m_comm->setCommPort(port);
}

void Acquisition::apply(qint16 numpuerto, const QString &settings)
{
    if (m_comm->CommPort() == 1 && numpuerto == 2)
        m_comm->setCommPort(2);
    if (m_comm->CommPort() == 2 && numpuerto == 1)
        m_comm->setCommPort(1);
    if (!m_comm->PortOpen())
        m_comm->setPortOpen(true);
    m_k.cadenaconf = settings;
    m_comm->setSettings(settings);
    m_on = true;
    update();
}

// Bytes kept after a lost device are still the user's to see: STOP and Continuar act on them
// too, with the port closed.
void Acquisition::stop()
{
    if (m_comm->PortOpen() || m_comm->InBufferCount() > 0) {
        m_on = false;
        update();
    }
}

void Acquisition::resume()
{
    if (m_comm->PortOpen() || m_comm->InBufferCount() > 0) {
        m_on = true;
        update();
    }
}

void Acquisition::hold(int delta)
{
    m_holds += delta;
    update();
}

void Acquisition::update()
{
    m_comm->backlog().setReceptionStopped(!m_on); // a hold is ours, not the user's
    const qint16 threshold = m_on && m_holds == 0 ? 1 : 0;
    if (m_comm->RThreshold() != threshold)
        m_comm->setRThreshold(threshold);
}

void Acquisition::finish()
{
    m_comm->setPortOpen(false);
    if (m_decoder->hasConsumers())
        m_comm->deliverEverything();
}
