// The logger on a remote bench: the samples come from the broker instead of a port, and go to
// the same recorder.
#include "logger.h"

#include "commandline.h"
#include "loggerrun.h"
#include "mqttpublisher.h"
#include "mqttsource.h"
#include "platformerror.h"
#include "recorder.h"
#include "run.h"

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
    RemoteRun(const Options &o, Run &run) : LoggerRun(o, run), m_source(*run.remote()) {}

private:
    void watch() override;
    QString nothingCame() const override;
    QStringList moreSummary(bool *lacking) const override;

    MqttSource &m_source;
};

void RemoteRun::watch()
{
    MqttSource *source = &m_source;
    QObject::connect(source, &MqttSource::problem, &m_run, [](const QString &message) { say(message); });
    QObject::connect(source, &MqttSource::notice, &m_run, [this](const QString &text) {
        say(QStringLiteral("El banco remoto %1 dice: %2").arg(m_o.mqtt.fromTopic, text));
    });
    QObject::connect(source, &MqttSource::stateChanged, &m_run, [this](const QString &state) {
        const QString said = state == MqttPublisher::kDeviceLost ? QStringLiteral("perdió su dispositivo")
                                                                 : QStringLiteral("está %1").arg(state);
        say(QStringLiteral("El banco remoto %1 %2.").arg(m_o.mqtt.fromTopic, said));
    });
    QObject::connect(source, &MqttSource::samplesMissing, &m_run, [](quint64 first, quint64 count) {
        say(QStringLiteral("Faltan %1 muestras (%2) que no llegaron por la red: quedan como hueco en el registro.")
                .arg(count).arg(rangeText({first, count})));
    });
    QObject::connect(source, &MqttSource::otherSession, &m_run, [this](quint64 session) {
        say(QStringLiteral("El banco remoto %1 empezó otra sesión (%2); se sigue grabando la sesión %3.")
                .arg(m_o.mqtt.fromTopic, QString::number(session), QString::number(m_source.session())));
    });
    QObject::connect(source, &MqttSource::targetReached, &m_run, [this] { end(); });
    if (m_o.sampleLimit)
        m_source.setTarget(m_o.sampleLimit);
    m_source.setSession(m_o.mqtt.session);
    m_source.persistAs({m_o.csvFile, m_o.rawFile});
    m_source.start();
}

QString RemoteRun::nothingCame() const
{
    if (m_source.hasMeta())
        return QStringLiteral("No se grabó nada: no llegó ninguna muestra de la sesión %1 de %2.")
            .arg(m_source.session()).arg(m_o.mqtt.fromTopic);
    if (m_source.refused(MqttSource::Refusal::NoMeta))
        return QStringLiteral("No se grabó nada: de %1 llegaron lotes, pero nunca la descripción (TEMA/meta) de su "
                              "sesión, sin la que no se sabe desde cuándo cuentan sus tiempos.")
            .arg(m_o.mqtt.fromTopic);
    return QStringLiteral("No se grabó nada: no llegó ninguna sesión en vivo del banco remoto %1 por el broker %2.")
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
    if (m_source.hasMeta()) {
        QString said = QStringLiteral("Sesión %1 de %2; %3 duplicadas descartadas")
                           .arg(QString::number(m_source.session()), m_o.mqtt.fromTopic, QString::number(m_source.duplicates()));
        if (m_source.late())
            said += QStringLiteral("; %1 llegaron tarde, cuando su lugar ya estaba anotado como hueco, y no se "
                                   "grabaron").arg(m_source.late());
        if (m_source.sessionEnded() && m_o.sampleLimit && m_source.knownEnd() < m_o.sampleLimit)
            said += QStringLiteral("; el banco terminó su sesión con %1 muestras").arg(m_source.knownEnd());
        out << said + u'.';
    }
    out << m_source.refusalSummary();
    if (!gaps.isEmpty())
        out << QStringLiteral("Faltan %1 muestras que no llegaron por la red: %2.").arg(total).arg(gaps.join(QStringLiteral(", ")));
    return out;
}

} // namespace

int runRemoteLogger(const Options &options, SignalWatcher &watcher)
{
    std::unique_ptr<Recorder> recorder = openRecorder(options);
    if (!recorder)
        return 1;
    Run run(options.mqtt.broker, options.mqtt.fromTopic);
    run.record(std::move(recorder));
    return RemoteRun(options, run).exec(watcher);
}
