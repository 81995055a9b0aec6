// The command line: what works without a display, and where the devices come from.

#include "commandline.h"
#include "signalwatcher.h"

#include <QSignalSpy>
#include <csignal>
#include <sys/resource.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void signalsAreWatchedAndTheFormerHandlersComeBack_data()
    {
        QTest::addColumn<bool>("descriptorsLeft");
        QTest::newRow("watched") << true;
        QTest::newRow("no descriptor left: said, and nothing taken over") << false;
    }
    void signalsAreWatchedAndTheFormerHandlersComeBack()
    {
        QFETCH(bool, descriptorsLeft);
        static volatile sig_atomic_t former = 0;
        struct sigaction mine {}, saved {};
        mine.sa_handler = [](int) { former = 1; };
        sigemptyset(&mine.sa_mask);
        QCOMPARE(::sigaction(SIGHUP, &mine, &saved), 0);
        rlimit files {};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &files), 0);
        if (!descriptorsLeft) {
            rlimit none = files;
            const int lowestFree = ::dup(0); // the next descriptor would be this one: forbid it
            ::close(lowestFree);
            none.rlim_cur = rlim_t(lowestFree);
            QCOMPARE(::setrlimit(RLIMIT_NOFILE, &none), 0);
        }
        {
            SignalWatcher watcher;
            ::setrlimit(RLIMIT_NOFILE, &files);
            QSignalSpy received(&watcher, &SignalWatcher::received);
            if (descriptorsLeft) {
                QVERIFY2(watcher.error().isEmpty(), qPrintable(watcher.error()));
                ::raise(SIGHUP);
                QVERIFY(received.wait(5000));
                QCOMPARE(received.first().first().toInt(), SIGHUP);
                QCOMPARE(int(former), 0);
            } else {
                QVERIFY2(watcher.error().contains(QStringLiteral("demasiados archivos abiertos")), qPrintable(watcher.error()));
            }
        }
        ::raise(SIGHUP); // after the watcher, the handler found before it answers again
        QCOMPARE(int(former), 1);
        former = 0;
        ::sigaction(SIGHUP, &saved, nullptr);
    }

    void answersWithoutADisplay_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("expected");
        QTest::newRow("version") << "--version" << "dispvanto " DISPVANTO_VERSION "\n";
        QTest::newRow("help") << "--help" << "Uso: dispvanto";
        QTest::newRow("port listing") << "--listar-puertos" << "/dev/";
    }
    void answersWithoutADisplay()
    {
        QFETCH(QString, option);
        QFETCH(QString, expected);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")); // would abort if a window were made
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(DISPVANTO_BINARY), {option});
        QVERIFY(p.waitForFinished(10000));
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(out.startsWith(expected) || (option == u"--listar-puertos" && out.contains(u"puerto")),
                 qPrintable(out));
    }

    void manPageNamesTheOptionsTheHelpNames()
    {
        QFile man(QStringLiteral(DISPVANTO_MANPAGE));
        QVERIFY2(man.open(QIODevice::ReadOnly), DISPVANTO_MANPAGE);
        const QString page = QString::fromUtf8(man.readAll()).replace(QStringLiteral("\\-"), QStringLiteral("-"));
        auto longOptions = [](const QString &text) {
            static const QRegularExpression option(QStringLiteral("--[a-z][a-z0-9-]*"));
            QStringList found;
            for (const auto &m : option.globalMatch(text))
                found << m.captured();
            found.removeDuplicates();
            found.sort();
            return found;
        };
        QCOMPARE(longOptions(page), longOptions(helpText()));
    }

    void answerThatCannotBeWrittenIsAFailure_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<bool>("closedPipe"); // else a full disk
        QTest::addColumn<QString>("why");
        QTest::newRow("version into a full disk") << "--version" << false << "no queda espacio";
        QTest::newRow("help into a full disk") << "--help" << false << "no queda espacio";
        QTest::newRow("port listing into a full disk") << "--listar-puertos" << false << "no queda espacio";
        QTest::newRow("version into a pipe nobody reads") << "--version" << true << "nadie lee";
    }
    void answerThatCannotBeWrittenIsAFailure()
    {
        QFETCH(QString, option);
        QFETCH(bool, closedPipe);
        QFETCH(QString, why);
        QProcess p;
        int fds[2] = {-1, -1};
        if (closedPipe) {
            QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
            ::close(fds[0]); // nobody will ever read
            p.setChildProcessModifier([w = fds[1]] { ::dup2(w, STDOUT_FILENO); });
        } else {
            p.setStandardOutputFile(QStringLiteral("/dev/full"));
        }
        p.start(QStringLiteral(DISPVANTO_BINARY), {option});
        const bool finished = p.waitForFinished(10000);
        if (closedPipe)
            ::close(fds[1]);
        QVERIFY(finished);
        const QString errors = QString::fromLocal8Bit(p.readAllStandardError());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(errors.startsWith(QStringLiteral("dispvanto: no se pudo escribir la salida: ")) && errors.contains(why),
                 qPrintable(errors));
    }

    void unknownOptionIsRefused()
    {
        QProcess p;
        p.start(QStringLiteral(DISPVANTO_BINARY), {QStringLiteral("--baudios")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("--baudios"));
    }

    void devicesComeFromOptionsThenEnvironment_data()
    {
        QTest::addColumn<QList<QByteArray>>("args");
        QTest::addColumn<QByteArray>("env1");
        QTest::addColumn<QByteArray>("env2");
        QTest::addColumn<QByteArray>("com1");
        QTest::addColumn<QByteArray>("com2");
        QTest::newRow("neither") << QList<QByteArray>{} << QByteArray() << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("environment only") << QList<QByteArray>{} << QByteArray("/dev/ttyUSB0") << QByteArray("/dev/ttyUSB1")
                                          << QByteArray("/dev/ttyUSB0") << QByteArray("/dev/ttyUSB1");
        QTest::newRow("option wins over environment")
            << QList<QByteArray>{"--com1", "/dev/ttyACM0"} << QByteArray("/dev/ttyUSB0") << QByteArray("/dev/ttyUSB1")
            << QByteArray("/dev/ttyACM0") << QByteArray("/dev/ttyUSB1");
        QTest::newRow("option with =") << QList<QByteArray>{"--com2=/dev/x"} << QByteArray() << QByteArray("/dev/y")
                                       << QByteArray() << QByteArray("/dev/x");
        QTest::newRow("path that is not UTF-8 kept as bytes")
            << QList<QByteArray>{"--com1", "/tmp/caf\xe9"} << QByteArray() << QByteArray() << QByteArray("/tmp/caf\xe9")
            << QByteArray();
    }
    void devicesComeFromOptionsThenEnvironment()
    {
        QFETCH(QList<QByteArray>, args);
        QFETCH(QByteArray, env1);
        QFETCH(QByteArray, env2);
        QFETCH(QByteArray, com1);
        QFETCH(QByteArray, com2);
        const Options o = parseCommandLine(args, [&](const char *name) {
            return QByteArray(name) == "DISPVANTO_COM1" ? env1 : QByteArray(name) == "DISPVANTO_COM2" ? env2 : QByteArray();
        });
        QVERIFY2(o.error.isEmpty(), qPrintable(o.error));
        QCOMPARE(o.ports.com1.value_or(QByteArray()), com1);
        QCOMPARE(o.ports.com2.value_or(QByteArray()), com2);
    }

    void rotationIsAPeriodOrASize_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<qint64>("bytes"); // both 0: refused
        const QStringList logger{"--sin-ventanas", "--registro", "x.csv", "--rotar"};
        QTest::newRow("an hour") << logger + QStringList{"1h"} << qint64(3600) << qint64(0);
        QTest::newRow("minutes") << logger + QStringList{"15min"} << qint64(900) << qint64(0);
        QTest::newRow("a day, the windows' recordings") << QStringList{"--rotar", "1d"} << qint64(86400) << qint64(0);
        QTest::newRow("megabytes, decimal") << logger + QStringList{"500MB"} << qint64(0) << qint64(500000000);
        QTest::newRow("the smallest size") << logger + QStringList{"1kB"} << qint64(0) << qint64(1000);
        QTest::newRow("no period of 0") << logger + QStringList{"0s"} << qint64(0) << qint64(0);
        QTest::newRow("no fractions") << logger + QStringList{"1.5h"} << qint64(0) << qint64(0);
        QTest::newRow("no bytes alone") << logger + QStringList{"999"} << qint64(0) << qint64(0);
        QTest::newRow("beyond a year") << logger + QStringList{"367d"} << qint64(0) << qint64(0);
        QTest::newRow("a logger with nothing to rotate") << QStringList{"--sin-ventanas", "--rotar", "1h"} << qint64(0)
                                                         << qint64(0);
    }
    void rotationIsAPeriodOrASize()
    {
        QFETCH(QStringList, args);
        QFETCH(qint64, seconds);
        QFETCH(qint64, bytes);
        QList<QByteArray> raw;
        for (const QString &a : args)
            raw << a.toUtf8();
        const Options o = parseCommandLine(raw, [](const char *) { return QByteArray(); });
        if (seconds == 0 && bytes == 0) {
            QVERIFY2(o.error.contains(QStringLiteral("--rotar")), qPrintable(o.error));
            return;
        }
        QVERIFY2(o.error.isEmpty(), qPrintable(o.error));
        QCOMPARE(o.rotation.periodNanos, seconds * 1000000000);
        QCOMPARE(o.rotation.bytes, bytes);
    }

    void mqttOptionsAreChecked_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error"); // a part of the message; empty: accepted
        const QString mine = QStringLiteral("@clave"), others = QStringLiteral("@clave-legible"),
                      ca = QStringLiteral("@ca");
        QTest::newRow("publishing, all given") << QStringList{"--mqtt", "broker.lab:1884", "--mqtt-tema", "lab/banco3",
                                                              "--mqtt-usuario", "banco3", "--mqtt-clave-archivo", mine,
                                                              "--mqtt-ca", ca} << QString();
        QTest::newRow("remote bench") << QStringList{"--sin-ventanas", "--desde-mqtt", "lab/banco3", "--mqtt", "b",
                                                     "--registro", "x.csv"} << QString();
        QTest::newRow("companions without --mqtt") << QStringList{"--mqtt-tema", "a/b"} << "solo valen con --mqtt";
        QTest::newRow("port out of range") << QStringList{"--mqtt", "b:70000"} << "puerto del broker no válido";
        QTest::newRow("empty broker") << QStringList{"--mqtt", ""} << "--mqtt necesita un valor";
        QTest::newRow("wildcard in topic") << QStringList{"--mqtt", "b", "--mqtt-tema", "lab/#"} << "comodines";
        QTest::newRow("broker's own topic") << QStringList{"--mqtt", "b", "--mqtt-tema", "$SYS/x"} << "son del broker";
        QTest::newRow("remote bench with windows") << QStringList{"--mqtt", "b", "--desde-mqtt", "a"}
                                                   << "solo vale con --sin-ventanas";
        QTest::newRow("remote bench and a port")
            << QStringList{"--sin-ventanas", "--mqtt", "b", "--desde-mqtt", "a", "--com1", "/dev/x"} << "no lleva --com1";
        QTest::newRow("remote bench and a topic")
            << QStringList{"--sin-ventanas", "--mqtt", "b", "--desde-mqtt", "a", "--mqtt-tema", "c"} << "no lleva --mqtt-tema";
        QTest::newRow("remote bench without broker") << QStringList{"--sin-ventanas", "--desde-mqtt", "a"}
                                                     << "--desde-mqtt necesita --mqtt";
        QTest::newRow("password without user") << QStringList{"--mqtt", "b", "--mqtt-clave-archivo", mine}
                                               << "necesita --mqtt-usuario";
        QTest::newRow("password file missing") << QStringList{"--mqtt", "b", "--mqtt-usuario", "u",
                                                              "--mqtt-clave-archivo", "/no/existe"}
                                               << "no se puede leer el archivo de la clave del broker /no/existe";
        QTest::newRow("CA file missing") << QStringList{"--mqtt", "b", "--mqtt-ca", "/no/existe.pem"}
                                         << "--mqtt-ca: el archivo /no/existe.pem no existe";
        QTest::newRow("CA file without a certificate") << QStringList{"--mqtt", "b", "--mqtt-ca", mine}
                                                       << "no contiene ningún certificado";
        QTest::newRow("broker with an empty port") << QStringList{"--mqtt", "b:"}
                                                   << "--mqtt: falta el puerto tras los dos puntos en «b:»";
        QTest::newRow("topic that is not UTF-8") << QStringList{"--mqtt", "b", "--mqtt-tema", "@no-utf8"}
                                                 << "--mqtt-tema no vale: «lab/caf\uFFFD» no es texto UTF-8 válido";
        QTest::newRow("remote topic that is not UTF-8")
            << QStringList{"--sin-ventanas", "--mqtt", "b", "--desde-mqtt", "@no-utf8", "--registro", "x.csv"}
            << "--desde-mqtt no vale";
        const QStringList lab{"--sin-ventanas", "--mqtt", "b", "--desde-mqtt"};
        QTest::newRow("every bench under a filter") << lab + QStringList{"lab/+", "--carpeta", "@dir"} << QString();
        QTest::newRow("a filter to the end, raw only")
            << lab + QStringList{"lab/#", "--carpeta", "@dir", "--formatos", "crudo", "--rotar", "1h"} << QString();
        QTest::newRow("a filter without a folder") << lab + QStringList{"lab/+"} << "necesita --carpeta";
        QTest::newRow("a filter into one file")
            << lab + QStringList{"lab/+", "--carpeta", "@dir", "--registro", "x.csv"} << "no lleva --registro";
        QTest::newRow("a filter with a count")
            << lab + QStringList{"lab/+", "--carpeta", "@dir", "--muestras", "5"} << "--muestras no vale con un filtro";
        QTest::newRow("a wildcard inside a level") << lab + QStringList{"lab/b+", "--carpeta", "@dir"} << "ocupa un nivel entero";
        QTest::newRow("# before the last level") << lab + QStringList{"lab/#/x", "--carpeta", "@dir"} << "solo el último";
        QTest::newRow("a folder that is not there")
            << lab + QStringList{"lab/+", "--carpeta", "/no/existe"} << "--carpeta: la carpeta /no/existe no existe";
        QTest::newRow("a folder for one bench") << lab + QStringList{"lab/b1", "--carpeta", "@dir", "--registro", "x.csv"}
                                                << "--carpeta y --formatos solo valen con --desde-mqtt y un filtro";
        QTest::newRow("formats unknown") << lab + QStringList{"lab/+", "--carpeta", "@dir", "--formatos", "json"}
                                         << "--formatos necesita csv, crudo o csv,crudo";
        QTest::newRow("password file others may read: a warning")
            << QStringList{"--mqtt", "b", "--mqtt-usuario", "u", "--mqtt-clave-archivo", others} << QString();
    }
    void mqttOptionsAreChecked()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QByteArray secret = "s3creto";
        auto file = [&](const char *name, QFileDevice::Permissions permissions, const QByteArray &text = {}) {
            QFile f(dir.filePath(name));
            f.open(QIODevice::WriteOnly);
            f.write(text.isEmpty() ? secret + "\n" : text);
            f.setPermissions(permissions);
            return f.fileName();
        };
        const QString mine = file("clave", QFile::ReadOwner | QFile::WriteOwner);
        const QString others = file("legible", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        const QString ca = file("ca.pem", QFile::ReadOwner, "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
        QList<QByteArray> bytes;
        for (const QString &a : args)
            bytes << (a == u"@no-utf8" ? QByteArray("lab/caf\xe9")
                                       : (a == u"@clave" ? mine : a == u"@clave-legible" ? others : a == u"@ca" ? ca : a == u"@dir" ? dir.path() : a).toLocal8Bit());
        const Options o = parseCommandLine(bytes, [](const char *) { return QByteArray(); });
        if (!error.isEmpty()) {
            QVERIFY2(o.error.contains(error), qPrintable(o.error));
            return;
        }
        QVERIFY2(o.error.isEmpty(), qPrintable(o.error));
        if (args.contains("--mqtt-clave-archivo"))
            QCOMPARE(o.mqtt.broker.password, secret);
        QCOMPARE(o.mqtt.warnings.size(), args.contains("@clave-legible") ? 1 : 0);
        for (const QString &w : o.mqtt.warnings)
            QVERIFY2(w.contains(others) && w.contains("chmod 600") && !w.contains(secret), qPrintable(w));
        if (args.contains("broker.lab:1884")) {
            QCOMPARE(o.mqtt.broker.name(), QStringLiteral("broker.lab:1884"));
            QCOMPARE(o.mqtt.broker.caFile, ca);
            QVERIFY(o.mqtt.publishing());
        }
    }

    void passwordFileThatIsNotAFileEndsAtOnce_data()
    {
        QTest::addColumn<QString>("path"); // "fifo": a FIFO made for the test, with no writer
        QTest::addColumn<QString>("said");
        QTest::newRow("FIFO") << "fifo" << "es una tubería con nombre (FIFO)";
        QTest::newRow("device") << "/dev/zero" << "es un dispositivo";
    }
    // Opening a FIFO would wait for a writer for ever: the program ends at once instead, as
    // for any refused option. A hang fails the test rather than holding it.
    void passwordFileThatIsNotAFileEndsAtOnce()
    {
        QFETCH(QString, path);
        QFETCH(QString, said);
        QTemporaryDir dir;
        if (path == u"fifo") {
            path = dir.filePath(QStringLiteral("clave"));
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        QProcess p;
        p.start(QStringLiteral(DISPVANTO_BINARY), {"--mqtt", "127.0.0.1", "--mqtt-usuario", "u", "--mqtt-clave-archivo", path});
        const bool ended = p.waitForFinished(10000);
        if (!ended) {
            p.kill();
            p.waitForFinished();
        }
        QVERIFY2(ended, "el programa se quedó esperando");
        QCOMPARE(p.exitCode(), 2);
        const QString errors = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(errors.contains(QStringLiteral("--mqtt-clave-archivo: el archivo de la clave del broker %1 %2").arg(path, said)),
                 qPrintable(errors));
    }

    void refusedMqttOptionEndsWithStatusTwo()
    {
        QProcess p;
        p.start(QStringLiteral(DISPVANTO_BINARY), {"--sin-ventanas", "--desde-mqtt", "lab/banco3", "--registro", "x.csv"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("--desde-mqtt necesita --mqtt"));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
