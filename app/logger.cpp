#include "logger.h"

#include "acquisition.h"
#include "commandline.h"
#include "platformerror.h"
#include "recorder.h"
#include "serialsettings.h"
#include "settingsfile.h"
#include "signalwatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

void say(const QString &text)
{
    std::fprintf(stderr, "dispvanto: %s\n", text.toLocal8Bit().constData());
}

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

/// One run of the logger once the port is open: until the sample count, a signal, a lost
/// device (unless it is to be reopened) or no file left to write.
class LoggerRun
{
public:
    LoggerRun(const Options &o, Acquisition &a, Recorder &r) : m_o(o), m_a(a), m_r(r) {}

    int exec()
    {
        QObject::connect(&m_r, &Recorder::limitReached, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        QObject::connect(&m_r, &Recorder::failed, qApp, [](const QString &message) { say(message); });
        QObject::connect(&m_r, &Recorder::stopped, qApp, [] {
            say(QStringLiteral("No queda ningún archivo en el que grabar: el registro termina."));
            QCoreApplication::quit();
        });
        QObject::connect(&m_a, &Acquisition::failed, qApp, [this](const QString &message) {
            say(message);
            if (!m_o.ports.reconnect && !m_a.comm().PortOpen())
                QCoreApplication::quit(); // what the device sent before it went is written at the end
        });
        SignalWatcher watcher;
        QObject::connect(&watcher, &SignalWatcher::received, qApp, [](int) { QCoreApplication::quit(); });
        if (!watcher.error().isEmpty())
            say(watcher.error());
        m_clock.start();
        QTimer progress;
        if (::isatty(STDERR_FILENO)) {
            QObject::connect(&progress, &QTimer::timeout, qApp, [this] { showProgress(); });
            progress.start(1000);
        }
        QCoreApplication::exec();
        progress.stop();
        if (::isatty(STDERR_FILENO))
            std::fputc('\n', stderr);
        // Nothing more is taken from the port; what it delivered is decoded and written first.
        m_a.finish();
        const bool complete = m_r.finish();
        return summary(complete);
    }

private:
    void showProgress()
    {
        const quint64 n = m_r.samplesRecorded();
        std::fprintf(stderr, "\r%llu muestras, %llu muestras/s, %lld bytes escritos   ",
                     static_cast<unsigned long long>(n), static_cast<unsigned long long>(n - m_lastSamples),
                     static_cast<long long>(m_r.bytesWritten()));
        std::fflush(stderr);
        m_lastSamples = n;
    }

    /// Says what each file holds, and whether that is all that was asked; the exit status.
    int summary(bool complete)
    {
        QStringList parts;
        if (m_r.hasCsv())
            parts << QStringLiteral("%1 muestras grabadas en %2").arg(m_r.csvRows()).arg(m_r.csvPath());
        if (m_r.hasRaw())
            parts << QStringLiteral("%1 bytes (%2 muestras) grabados en %3").arg(m_r.rawBytes()).arg(m_r.rawBytes() / 2).arg(m_r.rawPath());
        QString text = parts.join(QStringLiteral("; ")) + QStringLiteral(", en %1 s.").arg(m_clock.elapsed() / 1000.0, 0, 'f', 1);
        const quint64 got = m_r.samplesRecorded();
        const SerialControl &c = m_a.comm();
        if (got == 0 && m_r.rawBytes() == 0)
            text += QStringLiteral(" No se grabó nada: no llegó ningún dato de COM%1 (%2).").arg(c.CommPort()).arg(c.device(c.CommPort()));
        else if (!complete)
            text += QStringLiteral(" No se grabó todo lo pedido: la grabación de un archivo se detuvo (ver arriba).");
        else if (m_o.sampleLimit && got < m_o.sampleLimit)
            text += QStringLiteral(" No se grabó todo lo pedido: llegaron %1 de las %2 muestras.").arg(got).arg(m_o.sampleLimit);
        say(text);
        const bool all = complete && got + m_r.rawBytes() > 0 && (!m_o.sampleLimit || got >= m_o.sampleLimit);
        return all ? 0 : 1;
    }

    const Options &m_o;
    Acquisition &m_a;
    Recorder &m_r;
    QElapsedTimer m_clock;
    quint64 m_lastSamples = 0;
};

} // namespace

int runLogger(const Options &options)
{
    if (options.csvFile.isEmpty() && options.rawFile.isEmpty()) {
        say(QStringLiteral("--sin-ventanas necesita --registro o --crudo: no habría nada que grabar."));
        return 2;
    }
    const Start start = chooseStart(options);
    if (!start.error.isEmpty()) {
        say(start.error);
        return start.status;
    }
    Acquisition acquisition(options.ports);
    std::unique_ptr<Recorder> recorder;
    try {
        recorder = std::make_unique<Recorder>(options.csvFile, options.rawFile);
    } catch (const PlatformError &e) {
        say(e.message());
        return 1;
    }
    recorder->setSampleLimit(options.sampleLimit);
    recorder->attach(acquisition);
    try {
        acquisition.apply(start.port, start.settings);
    } catch (const PlatformError &e) {
        recorder->discardFiles(); // a refused start leaves nothing it created
        say(e.message() + QStringLiteral(" No se grabó nada."));
        return 1;
    }
    return LoggerRun(options, acquisition, *recorder).exec();
}
