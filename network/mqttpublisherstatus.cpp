// What the publisher says about its session besides the samples: the state, the meta, the
// summary, a loss of sending memory, and another session heard on the same topic.
#include "mqttpublisher.h"
#include "mqttmessages.h"
#include "mqttwire.h"
#include "wallclock.h"

#include <QDateTime>

void MqttPublisher::summaryHeard(const QByteArray &payload)
{
    const auto summary = SessionSummary::fromJson(payload);
    // Told once a run: a flood of made-up sessions must not become a flood of lines.
    if (!summary || summary->session == m_session || !m_otherSessionTold.first())
        return;
    emit problem(QStringLiteral("MQTT: otra sesión (%1) publica también en %2: ¿otro banco con el mismo tema? Cada "
                                "banco necesita su propio tema (--mqtt-tema); los que graban desde el broker "
                                "siguen una sola sesión.")
                     .arg(summary->session)
                     .arg(m_base));
}

void MqttPublisher::setStart(qint64 startNanos)
{
    if (m_sampled)
        return;
    m_startUnixNanos = m_context.unixNanos(startNanos);
    m_start = wallclock::fromUnixNanos(m_startUnixNanos);
    m_view.setStart(m_startUnixNanos);
    if (m_started)
        publishMeta();
}

void MqttPublisher::setDeviceOpen(bool open)
{
    if (open == m_deviceOpen)
        return;
    m_deviceOpen = open;
    publishState();
}

void MqttPublisher::setDevice(const QString &portName, const QString &device, const QString &settings)
{
    if (portName == m_context.portName && device == m_context.device && settings == m_context.settings)
        return;
    m_context.portName = portName;
    m_context.device = device;
    m_context.settings = settings;
    publishMeta();
}

void MqttPublisher::publishState()
{
    const QString &state = m_deviceOpen ? kOnline : kDeviceLost;
    m_client.publish(m_topics.state, m_goodbyeSent ? mqttwire::goodbyeText(m_session, m_store.end())
                                                   : mqttwire::stateText(state, m_session), 1, true);
}

void MqttPublisher::publishMeta()
{
    SessionMeta meta;
    meta.format = batchformat::kVersion;
    meta.encoding = QStringLiteral("u16le");
    meta.program = QStringLiteral("dispvanto %1").arg(m_context.programVersion);
    meta.device = m_context.device;
    meta.settings = m_context.settings;
    meta.port = m_context.portName;
    meta.session = m_session;
    meta.clockZeroUnixNanos = m_context.unixNanos(0);
    meta.start = m_start;
    meta.startUnixNanos = m_startUnixNanos;
    m_client.publish(m_topics.meta, meta.toJson(), 1, true);
}

void MqttPublisher::publishSummary()
{
    SessionSummary s;
    s.session = m_session;
    s.samples = m_open.values.empty() ? m_store.end() : m_open.end();
    m_stats.takeInto(s);
    s.time = QDateTime::currentDateTimeUtc();
    m_client.publish(m_topics.summary, s.toJson(), 0, false);
}

void MqttPublisher::noteLoss(const std::vector<SampleRange> &lost)
{
    if (lost.empty())
        return;
    for (const SampleRange &r : lost)
        m_lostUnsent.add(r.first, r.end());
    if (m_losses.note(lost))
        emit problem(QStringLiteral("MQTT: el broker %1 no confirma lo enviado y la memoria de envío (%2 MiB) "
                                    "está llena: se descartan los lotes más antiguos sin confirmar; cada pérdida "
                                    "se anota en el registro local y en el estado publicado.")
                         .arg(m_client.brokerName())
                         .arg(m_store.limit() >> 20));
    if (!m_lossTimer.isActive())
        m_lossTimer.start();
}

void MqttPublisher::flushLoss()
{
    m_lossTimer.stop();
    for (const SampleRange &r : m_losses.close())
        emit samplesLost(r.first, r.count);
    if (!m_client.isConnected())
        return;
    for (const SampleRange &r : m_losses.takeUnpublished())
        m_client.publish(m_topics.state,
                         mqttwire::noticeText(QStringLiteral("perdidas %1 muestras (%2 a %3): no cupieron en la "
                                                             "memoria de envío mientras el broker no las confirmaba")
                                                  .arg(r.count).arg(r.first).arg(r.end() - 1),
                                              m_session),
                         1, false);
}
