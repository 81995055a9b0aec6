#include "remotebench.h"

#include "recorder.h"
#include "wallclock.h"

RemoteBench::RemoteBench(const MqttBroker &broker, const QString &topic, QObject *parent)
    : QObject(parent), m_source(broker, topic), m_topic(topic), m_brokerName(broker.name())
{
}

void RemoteBench::record(Recorder &recorder)
{
    m_recorder = &recorder;
    // The header and where tiempo_s counts from are the publisher's: known once its meta comes,
    // which is before any sample is handed out. A bench that opened its port after it started
    // tells its start again, before any sample.
    const auto fromMeta = [this] {
        const SessionMeta &meta = m_source.meta();
        const qint64 origin = meta.startUnixNanos - meta.clockZeroUnixNanos;
        if (!m_attached)
            attach(meta.startUnixNanos, origin);
        m_recorder->restart(meta.startUnixNanos, origin);
    };
    connect(&m_source, &MqttSource::metaReceived, this, fromMeta);
    if (m_source.hasMeta())
        fromMeta();
}

void RemoteBench::attach(qint64 startUnixNanos, qint64 originNanos)
{
    m_attached = true;
    m_recorder->attach(m_source, startUnixNanos, originNanos, [this] { return header(); });
}

RecordingHeader RemoteBench::header() const
{
    RecordingHeader h;
    h.more << QStringLiteral("banco remoto: %1 en el broker %2").arg(m_topic, m_brokerName);
    if (!m_source.hasMeta()) {
        h.more << QStringLiteral("sesión: no llegó ninguna del banco remoto");
        return h;
    }
    const SessionMeta &meta = m_source.meta();
    const QString device = meta.device.isEmpty() ? QStringLiteral("desconocido (el banco no lo dijo)") : meta.device;
    h.device = meta.port.isEmpty() ? device : QStringLiteral("%1 (%2)").arg(device, meta.port);
    h.settings = meta.settings;
    h.more << QStringLiteral("sesión: %1").arg(meta.session) << QStringLiteral("publicado por: %1").arg(meta.program);
    return h;
}

void RemoteBench::stop(std::function<void()> done)
{
    connect(&m_source, &MqttSource::stopped, this, std::move(done), Qt::SingleShotConnection);
    m_source.stop();
    if (m_recorder && !m_attached) // a run that heard nothing still says in its header what it waited for
        attach(wallclock::nowUnixNanos(), 0);
}
