#include "commandline.h"
#include "frmdispvanto.h"
#include "logger.h"
#include "platformerror.h"
#include "program.h"
#include "signalwatcher.h"

#include <QApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    // The options are read before any application object exists: help, version and the port
    // listing need no display. Arguments stay bytes, so a device path need not be UTF-8.
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args << QByteArray(argv[i]);
    const Options options = parseCommandLine(args);
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "dispvanto: %s\n", options.error.toLocal8Bit().constData());
        return 2;
    }
    if (options.help || options.version || options.listPorts) {
        const QString text = options.help ? helpText() : options.version ? versionText() : portListing();
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }

    // A file-size limit must fail the write (and be reported), not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    if (options.noWindows) {
        QCoreApplication app(argc, argv);
        return runLogger(options);
    }

    // On X, painted images go to the server through shared memory (MIT-SHM), as Qt does by
    // default. Sent through the connection instead, every image larger than the server's 16 KiB
    // input buffer has the server take fresh memory for it and give it back, at a cost that
    // depends on the server's history (twice as much in a new X session as in a used one).
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("dispVanto"));
    // The layouts are given in twips for a small dialog font; a compact face keeps every
    // caption inside its control.
    QFont small = QApplication::font();
    small.setFamily(QStringLiteral("DejaVu Sans"));
    small.setStretch(QFont::Condensed);
    small.setPointSize(8);
    QApplication::setFont(small);

    Program program;
    if (options.com1)
        program.mainWindow().MSComm1()->setNativeDevice(1, *options.com1);
    if (options.com2)
        program.mainWindow().MSComm1()->setNativeDevice(2, *options.com2);
    program.mainWindow().MSComm1()->setReconnect(options.reconnect);
    if (!options.csvFile.isEmpty() || !options.rawFile.isEmpty()) {
        try {
            program.record(options.csvFile, options.rawFile);
        } catch (const PlatformError &e) {
            std::fprintf(stderr, "dispvanto: %s\n", e.message().toLocal8Bit().constData());
            return 2;
        }
    }
    // A signal ends the program as "salir" does; the recording is written out on the way.
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::received, &app, [] { QCoreApplication::exit(0); });
    program.mainWindow().show();
    return QApplication::exec();
}
