#include "logger.h"

#include "acquisition.h"
#include "commandline.h"
#include "failure.h"
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
#include <unistd.h>

namespace {

void say(const QString &text)
{
    std::fprintf(stderr, "dispvanto: %s\n", text.toLocal8Bit().constData());
}

/// Without windows, failures go to the terminal.
class StderrReporter final : public FailureReporter
{
public:
    void report(const QString &message) override { say(message); }
    void information(const QString &text) override { say(text); }
};

} // namespace

int runLogger(const Options &options)
{
    if (options.csvFile.isEmpty() && options.rawFile.isEmpty()) {
        say(QStringLiteral("--sin-ventanas necesita --registro o --crudo: no habría nada que grabar."));
        return 2;
    }
    Acquisition acquisition(options.ports);

    int status = 0;
    std::unique_ptr<Recorder> recorder;
    try {
        QString settings = options.lineSettings;
        qint16 port = 1;
        if (settings.isEmpty()) {
            const serialsettings::Pieces p = settingsfile::load(settingsfile::defaultPath());
            settings = serialsettings::compose(p);
            if (p.numpuerto == 2)
                port = 2;
        }
        recorder = std::make_unique<Recorder>(options.csvFile, options.rawFile);
        recorder->attach(acquisition);
        recorder->setSampleLimit(options.sampleLimit);
        acquisition.apply(port, settings);
    } catch (const PlatformError &e) {
        say(e.message());
        return 1;
    }

    QObject::connect(recorder.get(), &Recorder::limitReached, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(recorder.get(), &Recorder::failed, qApp, [&](const QString &message) {
        say(message);
        status = 1;
        QCoreApplication::quit();
    });
    QObject::connect(&acquisition, &Acquisition::failed, qApp, [&](const QString &message) {
        say(message);
        // What the device sent before it went is still decoded and written at the end.
        if (!options.ports.reconnect && !acquisition.comm().PortOpen()) {
            status = options.sampleLimit ? 1 : status;
            QCoreApplication::quit();
        }
    });
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::received, qApp, [](int) { QCoreApplication::quit(); });
    if (!watcher.error().isEmpty())
        say(watcher.error());

    // One progress line a second, on a terminal only.
    QElapsedTimer clock;
    clock.start();
    QTimer progress;
    quint64 lastSamples = 0;
    if (::isatty(STDERR_FILENO)) {
        QObject::connect(&progress, &QTimer::timeout, qApp, [&] {
            const quint64 n = recorder->samplesRecorded();
            std::fprintf(stderr, "\r%llu muestras, %llu muestras/s, %lld bytes escritos   ",
                         static_cast<unsigned long long>(n), static_cast<unsigned long long>(n - lastSamples),
                         static_cast<long long>(recorder->bytesWritten()));
            std::fflush(stderr);
            lastSamples = n;
        });
        progress.start(1000);
    }

    QCoreApplication::exec();
    progress.stop();
    if (::isatty(STDERR_FILENO))
        std::fputc('\n', stderr);

    // Nothing more is taken from the port; what it delivered is decoded and written before
    // the files close.
    acquisition.finish();
    if (!recorder->finish())
        status = 1;
    if (options.sampleLimit && recorder->samplesRecorded() < options.sampleLimit)
        status = 1;
    say(QStringLiteral("%1 muestras grabadas en %2 s%3%4; %5 bytes escritos.%6")
            .arg(recorder->samplesRecorded())
            .arg(clock.elapsed() / 1000.0, 0, 'f', 1)
            .arg(options.csvFile.isEmpty() ? QString() : QStringLiteral(" en ") + recorder->csvPath())
            .arg(options.rawFile.isEmpty() ? QString() : QStringLiteral(", crudo en ") + recorder->rawPath())
            .arg(recorder->bytesWritten())
            .arg(status == 0 ? QString() : QStringLiteral(" No se grabó todo lo pedido.")));
    return status;
}
