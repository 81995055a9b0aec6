#include "logger.h"

#include "acquisition.h"
#include "commandline.h"
#include "lab.h"
#include "loggerrun.h"
#include "platformerror.h"
#include "publishing.h"
#include "recorder.h"
#include "run.h"
#include "serialsettings.h"
#include "serialsettingsstring.h"
#include "settingsfile.h"
#include "signalwatcher.h"

#include <QCoreApplication>
#include <memory>
#include <optional>

namespace {

/// Which port and line settings the logger opens, or why it cannot start (and its status).
struct Start
{
    qint16 port = 1;
    QString settings;
    QString error;
    int status = 0;
};

/// Decided and checked before anything is created, so that a refusal leaves nothing behind.
Start chooseStart(const Options &o)
{
    Start s;
    if (o.com1Named && o.com2Named)
        return {1, {}, QStringLiteral("--sin-ventanas graba un solo puerto: indique --com1 o --com2, no los dos."), 2};
    std::optional<qint16> filePort;
    s.settings = o.lineSettings;
    if (s.settings.isEmpty()) {
        try {
            const serialsettings::Pieces p = settingsfile::load(settingsfile::defaultPath());
            s.settings = serialsettings::compose(p);
            if (p.numpuerto == 1 || p.numpuerto == 2)
                filePort = p.numpuerto;
        } catch (const PlatformError &e) {
            return {1, {}, e.message() + QStringLiteral(" Indique la configuración con --config, p. ej. --config 9600,N,8,1."), 1};
        }
    }
    QString why;
    if (!parseLineSettings(s.settings, &why)) {
        s.error = o.lineSettings.isEmpty()
                      ? QStringLiteral("La configuración del archivo %1 («%2») no vale: %3. Indíquela con --config, p. ej. "
                                       "--config 9600,N,8,1.").arg(settingsfile::fileName(), s.settings, why)
                      : QStringLiteral("--config «%1» no vale: %2. Ejemplo: --config 9600,N,8,1.").arg(s.settings, why);
        s.status = 2;
    }
    // The port whose device the user named now wins over the file's.
    s.port = o.com2Named ? 2 : o.com1Named ? 1 : filePort.value_or(1);
    return s;
}

/// The logger on a port: until the sample count, a signal, a lost device (unless it is to be
/// reopened) or no file left to write.
class PortRun : public LoggerRun
{
public:
    PortRun(const Options &o, Run &run) : LoggerRun(o, run), m_a(*run.acquisition()), m_publishing(run.publishing()) {}

private:
    void watch() override
    {
        QObject::connect(&m_a, &Acquisition::failed, &m_run, [](const QString &message) { say(message); });
        QObject::connect(&m_a, &Acquisition::lost, &m_run, [this] {
            if (!m_o.ports.reconnect) {
                m_portLost = true;
                end(); // what the device sent before it went is written on the way
            }
        });
    }
    QStringList moreSummary(bool *lacking) const override
    {
        *lacking = false;
        QStringList out;
        if (m_portLost)
            out << QStringLiteral("Se perdió el puerto y la grabación terminó entonces.");
        if (m_publishing) {
            bool complete = true;
            out << m_publishing->result(&complete);
            *lacking = !complete; // publishing was asked for too
        }
        return out;
    }
    QString nothingCame() const override
    {
        const PortStatus port = m_a.status();
        return QStringLiteral("No se grabó nada: no llegó ningún dato de COM%1 (%2).").arg(port.port).arg(port.device);
    }

    Acquisition &m_a;
    Publishing *m_publishing;
    bool m_portLost = false;
};

// The logger on a port: the start checked before anything is created, the files, the port.
int runPortLogger(const Options &options, SignalWatcher &watcher)
{
    const Start start = chooseStart(options);
    if (!start.error.isEmpty()) {
        say(start.error);
        return start.status;
    }
    Run run(options.ports);
    std::unique_ptr<Recorder> opened = openRecorder(options);
    if (!opened)
        return 1;
    Recorder &recorder = run.record(std::move(opened));
    try {
        run.acquisition()->apply(start.port, start.settings);
    } catch (const PlatformError &e) {
        recorder.discardFiles(); // a refused start leaves nothing it created
        // The logger does not go on with the port: what would stay in force is not said.
        const auto *refused = dynamic_cast<const SettingsRefused *>(&e);
        say((refused ? refused->refusal() : e.message()) + QStringLiteral(" No se grabó nada."));
        return 1;
    }
    // After the port opened, so that a refused start publishes nothing; samples are decoded
    // from the event loop only, so the publisher misses none.
    if (options.mqtt.publishing())
        run.publish(options.mqtt, QStringLiteral("COM%1").arg(start.port), options.rawFile, say)
            .setSampleLimit(options.sampleLimit);
    return PortRun(options, run).exec(watcher);
}

} // namespace

int runLogger(const Options &options)
{
    // Publishing alone is a use of its own: a bench that only feeds the broker.
    const bool lab = !options.folder.isEmpty();
    if (!lab && options.csvFile.isEmpty() && options.rawFile.isEmpty() && (options.mqtt.receiving() || !options.mqtt.publishing())) {
        say(QStringLiteral("--sin-ventanas necesita --registro o --crudo%1: no habría nada que hacer con las muestras.")
                .arg(options.mqtt.receiving() ? QString() : QStringLiteral(", o --mqtt para publicarlas")));
        return 2;
    }
    for (const QString &warning : options.mqtt.warnings)
        say(warning);
    // Watched from the start: a signal that comes while the port opens still ends the run
    // cleanly, once the event loop runs.
    SignalWatcher watcher(lab);
    if (!watcher.error().isEmpty())
        say(watcher.error());
    if (lab)
        return runLabLogger(options, watcher);
    return options.mqtt.receiving() ? runRemoteLogger(options, watcher) : runPortLogger(options, watcher);
}
