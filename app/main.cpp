#include "commandline.h"
#include "frmdispvanto.h"
#include "logger.h"
#include "platformerror.h"
#include "program.h"
#include "say.h"
#include "signalwatcher.h"
#include "spanishqt.h"
#include "syserror.h"

#include <QApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

/// Writes an answer to stdout; false, with the reason on stderr, when it could not be written
/// (a full disk, a closed pipe): the caller must not report success.
bool printAnswer(const QString &text)
{
    errno = 0;
    if (std::fputs(text.toLocal8Bit().constData(), stdout) >= 0 && std::fflush(stdout) == 0)
        return true;
    const QString why = errno ? syserror::reason(errno) : QStringLiteral("falló la escritura");
    say(QStringLiteral("no se pudo escribir la salida: %1.").arg(why));
    return false;
}

/// The windowed program: the three windows over one acquisition, recording and publishing as
/// the options ask; returns the exit status.
int runWindows(int &argc, char **argv, const Options &options)
{
    // On X, painted images go to the server through shared memory (MIT-SHM), as Qt does by
    // default. Sent through the connection instead, every image larger than the server's 16 KiB
    // input buffer has the server take fresh memory for it and give it back, at a cost that
    // depends on the server's history (twice as much in a new X session as in a used one).
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("dispVanto"));
    installSpanishQtTexts();
    // The layouts are given in twips for a small dialog font; a compact face keeps every
    // caption inside its control.
    QFont small = QApplication::font();
    small.setFamily(QStringLiteral("DejaVu Sans"));
    small.setStretch(QFont::Condensed);
    small.setPointSize(8);
    QApplication::setFont(small);
    // The program ends when its run has: closing the main window only starts that end.
    QApplication::setQuitOnLastWindowClosed(false);

    // A signal ends the program as "salir" does; the recording is written out on the way. It
    // is watched before anything is recorded.
    SignalWatcher watcher;
    Program program(nullptr, QString(), options.ports);
    QObject::connect(&watcher, &SignalWatcher::received, &program.run(), &Run::finish);
    QObject::connect(&program.run(), &Run::finished, &app, [] { QCoreApplication::exit(0); });
    program.setRotation(options.rotation);
    if (!options.csvFile.isEmpty() || !options.rawFile.isEmpty()) {
        try {
            program.record(options.csvFile, options.rawFile);
        } catch (const PlatformError &e) {
            say(e.message());
            return 2;
        }
    }
    if (options.mqtt.publishing()) {
        for (const QString &warning : options.mqtt.warnings)
            say(warning);
        program.publish(options.mqtt, options.com2Named && !options.com1Named ? QStringLiteral("COM2") : QStringLiteral("COM1"),
                        options.rawFile);
    }
    if (!watcher.error().isEmpty())
        program.reporter().report(watcher.error());
    program.mainWindow().show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    // Output into a pipe that nobody reads (| head, | true) must not end the program: a failed
    // write of a message is only that, and recording goes on.
    std::signal(SIGPIPE, SIG_IGN);

    // The options are read before any application object exists: help, version and the port
    // listing need no display. Arguments stay bytes, so a device path need not be UTF-8.
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args << QByteArray(argv[i]);
    const Options options = parseCommandLine(args);
    if (!options.error.isEmpty()) {
        say(options.error);
        return 2;
    }
    if (options.help || options.version || options.listPorts) {
        const QString text = options.help ? helpText() : options.version ? versionText() : portListing();
        return printAnswer(text) ? 0 : 1;
    }

    // A file-size limit must fail the write (and be reported), not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    if (options.noWindows) {
        QCoreApplication app(argc, argv);
        return runLogger(options);
    }

    return runWindows(argc, argv, options);
}
