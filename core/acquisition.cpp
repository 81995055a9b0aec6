#include "acquisition.h"

#include "platformerror.h"
#include "serialcontrol.h"
#include "wallclock.h"

#include <limits>

Acquisition::Acquisition(const PortChoice &choice, QObject *parent)
    : QObject(parent), m_comm(std::make_unique<SerialControl>()),
      m_decoder(std::make_unique<ReceiveDecoder>(m_k, *m_comm))
{
    m_comm->setObjectName(QStringLiteral("MSComm1"));
    // The wall clock read between two readings of the acquisition's clock, the tightest pair of a
    // few: a pre-emption between two single readings (a loaded machine) would shift every time
    // the run writes by as long as it lasted.
    qint64 span = std::numeric_limits<qint64>::max();
    for (int i = 0; i < 8 && span > 50000; ++i) {
        const qint64 before = m_comm->clockNanos();
        const qint64 wall = wallclock::nowUnixNanos();
        const qint64 after = m_comm->clockNanos();
        if (after - before < span) {
            span = after - before;
            m_unixAtZero = wall - before - (after - before) / 2;
        }
    }
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
    connect(m_comm.get(), &SerialControl::portOpenChanged, this, &Acquisition::portOpened);
    connect(m_comm.get(), &SerialControl::lost, this, [this] {
        m_reopenDue = true;
        emit lost();
    });
    connect(m_comm.get(), &SerialControl::settingsChanged, this, &Acquisition::settingsChanged);
    connect(m_comm.get(), &SerialControl::failed, this, &Acquisition::failed);
}

Acquisition::~Acquisition()
{
    // Consumers outlive nothing here: they are told the source is gone before it goes.
    m_decoder.reset();
}

void Acquisition::portOpened(bool open)
{
    emit portOpenChanged(open);
    if (!open)
        return;
    emit opened();
    if (m_reopenDue) {
        m_reopenDue = false;
        emit reopened();
    }
}

PortStatus Acquisition::status() const
{
    const qint16 port = m_comm->CommPort();
    return {port, m_comm->device(port), m_comm->Settings(), m_comm->PortOpen(), m_comm->openedNanos(), m_comm->deviceLost()};
}

QString Acquisition::device(int port) const
{
    return m_comm->device(port);
}

qsizetype Acquisition::waiting() const
{
    return m_comm->InBufferCount();
}

qsizetype Acquisition::waitLimit() const
{
    return m_comm->waitLimit();
}

StreamPoint Acquisition::streamPoint() const
{
    return {m_comm->backlog().consumed() - m_decoder->state().fase, m_comm->bytesReceived(), m_decoder->samplesDecoded()};
}

void Acquisition::copyUndecoded(QByteArray &to) const
{
    const DecoderState &d = m_decoder->state();
    if (d.fase)
        to.append(char(d.parbytes[0]));
    m_comm->backlog().copyWaiting(to);
}

qint64 Acquisition::clockNanos() const
{
    return m_comm->clockNanos();
}

QDateTime Acquisition::wallTime(qint64 clockNanos) const
{
    return wallclock::fromUnixNanos(unixNanos(clockNanos));
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
