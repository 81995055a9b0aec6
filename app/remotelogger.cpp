// The logger on a remote bench: the samples come from the broker instead of a port, and go to
// the same recorder.
#include "logger.h"

#include "commandline.h"
#include "loggerrun.h"
#include "mqttpublisher.h"
#include "mqttsource.h"
#include "platformerror.h"
#include "recorder.h"
#include "wallclock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <memory>

namespace {

QString rangeText(const SampleRange &r)
{
    return r.count == 1 ? QString::number(r.first) : QStringLiteral("%1 a %2").arg(r.first).arg(r.end() - 1);
}

class RemoteRun : public LoggerRun
{
public:
    RemoteRun(const Options &o, Recorder &r) : LoggerRun(o, r), m_source(o.mqtt.broker, o.mqtt.fromTopic) {}

private:
    void watch() override;
    void drain() override;
    QString nothingCame() const override;
    QStringList moreSummary(bool *lacking) const override;
    void attachRecorder();
    RecordingHeader header() const;

    MqttSource m_source;
    bool m_attached = false;
};

void RemoteRun::watch()
{
    MqttSource *source = &m_source;
    QObject::connect(source, &MqttSource::problem, qApp, [](const QString &message) { say(message); });
    QObject::connect(source, &MqttSource::notice, qApp, [this](const QString &text) {
        say(QStringLiteral("El banco remoto %1 dice: %2").arg(m_o.mqtt.fromTopic, text));
    });
    QObject::connect(source, &MqttSource::stateChanged, qApp, [this](const QString &state) {
        const QString said = state == MqttPublisher::kDeviceLost ? QStringLiteral("perdió su dispositivo")
                                                                 : QStringLiteral("está %1").arg(state);
        say(QStringLiteral("El banco remoto %1 %2.").arg(m_o.mqtt.fromTopic, said));
    });
    QObject::connect(source, &MqttSource::samplesMissing, qApp, [](quint64 first, quint64 count) {
        say(QStringLiteral("Faltan %1 muestras (%2) que no llegaron por la red: quedan como hueco en el registro.")
                .arg(count).arg(rangeText({first, count})));
    });
    QObject::connect(source, &MqttSource::otherSession, qApp, [this](quint64 session) {
        say(QStringLiteral("El banco remoto %1 empezó otra sesión (%2); se sigue grabando la sesión %3.")
                .arg(m_o.mqtt.fromTopic).arg(session).arg(m_source.session()));
    });
    // The header and where tiempo_s counts from are the publisher's: known once its meta comes,
    // which is before any sample is handed out.
    QObject::connect(source, &MqttSource::metaReceived, qApp, [this] {
        attachRecorder();
        // A bench that opened its port after it started tells its start again, before any sample.
        const SessionMeta &meta = m_source.meta();
        m_r.restart(meta.startUnixNanos, meta.startUnixNanos - meta.clockZeroUnixNanos);
    });
    QObject::connect(source, &MqttSource::targetReached, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    if (m_o.sampleLimit)
        m_source.setTarget(m_o.sampleLimit);
    m_source.start();
}

void RemoteRun::attachRecorder()
{
    if (m_attached)
        return;
    m_attached = true;
    const SessionMeta &meta = m_source.meta();
    m_r.attach(m_source, meta.startUnixNanos, meta.startUnixNanos - meta.clockZeroUnixNanos, [this] { return header(); });
}

RecordingHeader RemoteRun::header() const
{
    RecordingHeader h;
    const QString broker = m_o.mqtt.broker.name();
    h.more << QStringLiteral("banco remoto: %1 en el broker %2").arg(m_o.mqtt.fromTopic, broker);
    if (!m_source.hasMeta()) {
        h.more << QStringLiteral("sesión: no llegó ninguna del banco remoto");
        return h;
    }
    const SessionMeta &meta = m_source.meta();
    h.device = QStringLiteral("%1 (%2)").arg(meta.device, meta.port);
    h.settings = meta.settings;
    h.more << QStringLiteral("sesión: %1").arg(meta.session) << QStringLiteral("publicado por: %1").arg(meta.program);
    return h;
}

void RemoteRun::drain()
{
    m_source.stop();
    if (!m_attached) // a run that heard nothing still says in its header what it waited for
        m_r.attach(m_source, wallclock::nowUnixNanos(), 0, [this] { return header(); });
}

QString RemoteRun::nothingCame() const
{
    return m_source.hasMeta()
               ? QStringLiteral("No se grabó nada: no llegó ninguna muestra de la sesión %1 de %2.")
                     .arg(m_source.session()).arg(m_o.mqtt.fromTopic)
               : QStringLiteral("No se grabó nada: no llegó nada del banco remoto %1 por el broker %2.")
                     .arg(m_o.mqtt.fromTopic, m_o.mqtt.broker.name());
}

QStringList RemoteRun::moreSummary(bool *lacking) const
{
    QStringList out;
    QStringList gaps;
    quint64 total = 0;
    for (const SampleRange &r : m_source.missing()) {
        if (m_o.sampleLimit && r.first >= m_o.sampleLimit)
            continue;
        gaps << rangeText(r);
        total += r.count;
    }
    *lacking = !gaps.isEmpty();
    if (m_source.hasMeta())
        out << QStringLiteral("Sesión %1 de %2; %3 duplicadas descartadas.")
                   .arg(m_source.session()).arg(m_o.mqtt.fromTopic).arg(m_source.duplicates());
    if (!gaps.isEmpty())
        out << QStringLiteral("Faltan %1 muestras que no llegaron por la red: %2.").arg(total).arg(gaps.join(QStringLiteral(", ")));
    return out;
}

} // namespace

int runRemoteLogger(const Options &options)
{
    const std::unique_ptr<Recorder> recorder = openRecorder(options);
    return recorder ? RemoteRun(options, *recorder).exec() : 1;
}
