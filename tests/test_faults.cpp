// What the lab throws at the program: adapters pulled out, ports held by another program,
// missing devices, floods while stopped. Each case checks that nothing is lost, the user is
// told, and the program stays responsive.

#include "acquisitiontestaccess.h"
#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
#include "program.h"
#include "testpty.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

namespace {

struct Fixture
{
    QTemporaryDir dir;
    RecordingReporter reporter;
    Program program{&reporter, dir.path() + QStringLiteral("/serphcn.cmm")};

    Fixture() { main().setExitFunction([] {}); }
    frmdispVanto &main() { return program.mainWindow(); }
    Kyrserie &k() { return program.kyrserie(); }
    SerialControl &comm() { return testComm(program.acquisition()); }
    QWidget *config()
    {
        main().puertos_Click();
        return main().puertosWindow();
    }
    void click(const char *name)
    {
        auto *b = config()->findChild<QAbstractButton *>(QString::fromLatin1(name));
        QVERIFY2(b, name);
        b->click();
    }
    void chooseAndApply()
    {
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie"})
            click(b);
    }
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void deviceVanishesAndComesBackAtTheSamePath()
    {
        Fixture f;
        const QString link = f.dir.path() + QStringLiteral("/ttyLAB");
        auto first = std::make_unique<Pty>();
        QVERIFY(QFile::link(first->slavePath(), link));
        f.comm().setDevice(1, link);
        f.chooseAndApply();
        f.click("cerrar");
        QCOMPARE(f.main().settings()->text(), QStringLiteral("9600,N,8,1Puerto Abierto"));
        QVERIFY(f.reporter.failures.isEmpty());
        QVERIFY(first->write(samplesToBytes({101, 102, 103})));
        QVERIFY(first->write(QByteArray("\x55", 1))); // half a sample, cut off by the loss
        QTRY_COMPARE(f.k().contador.value(), 3);
        first.reset();
        QTRY_COMPARE(f.reporter.failures.size(), 1);
        QVERIFY(!f.comm().PortOpen());
        QVERIFY(f.reporter.failures[0].contains(link));
        // The label follows the port by itself, without another "Cerrar".
        QCOMPARE(f.main().settings()->text(), QStringLiteral("9600,N,8,1Puerto Cerrado"));

        // The adapter is plugged in again and shows up at the same path.
        Pty second;
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(second.slavePath(), link));
        f.click("Configserie");
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY(f.comm().PortOpen());
        QCOMPARE(f.main().settings()->text(), QStringLiteral("9600,N,8,1Puerto Abierto"));
        QVERIFY(second.write(samplesToBytes({201, 202})));
        QTRY_COMPARE(f.k().contador.value(), 5);
        QCOMPARE(QList<int>(f.k().valores.begin() + 1, f.k().valores.begin() + 6),
                 (QList<int>{101, 102, 103, 201, 202}));
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 202"));
    }

    void reconnectReopensTheReturningDeviceWithoutAClick_data()
    {
        QTest::addColumn<bool>("stopped");
        QTest::newRow("receiving") << false;
        QTest::newRow("a STOP stays a STOP") << true;
    }
    void reconnectReopensTheReturningDeviceWithoutAClick()
    {
        QFETCH(bool, stopped);
        Fixture f;
        const QString link = f.dir.path() + QStringLiteral("/ttyUSB-lab");
        auto first = std::make_unique<Pty>();
        QVERIFY(QFile::link(first->slavePath(), link));
        f.comm().setDevice(1, link);
        f.comm().setReconnect(true);
        f.chooseAndApply();
        f.click("cerrar");
        QVERIFY(first->write(samplesToBytes({301, 302})));
        QVERIFY(first->write(QByteArray("\x77", 1))); // half a sample, cut off by the loss
        QTRY_COMPARE(f.k().contador.value(), 2);
        // The half sample is taken before any STOP; otherwise it would still wait after it.
        QTRY_COMPARE(f.program.acquisition().decoder().state().fase, qint16(1));
        if (stopped)
            f.main().STOP_Click();
        // The adapter is pulled: its name goes with it, so that another program's terminal that
        // takes the freed number meanwhile is not mistaken for it.
        QVERIFY(QFile::remove(link));
        first.reset();
        QTRY_COMPARE(f.reporter.failures.size(), 1);
        QVERIFY2(f.reporter.failures[0].contains(QStringLiteral("Se volverá a abrir")), qPrintable(f.reporter.failures[0]));
        QCOMPARE(f.main().settings()->text(), QStringLiteral("9600,N,8,1Puerto Cerrado"));

        // What waiting for the device costs is measured by `make bench`.
        Pty second;
        QVERIFY(QFile::link(second.slavePath(), link));
        QElapsedTimer back;
        back.start();
        QTRY_VERIFY(f.comm().PortOpen());
        qInfo("reopened %lld ms after the device came back", back.elapsed());
        QCOMPARE(f.main().settings()->text(), QStringLiteral("9600,N,8,1Puerto Abierto"));
        QCOMPARE(f.comm().RThreshold(), qint16(stopped ? 0 : 1));
        QVERIFY(second.write(samplesToBytes({303, 304})));
        if (stopped) {
            QTRY_COMPARE(f.comm().InBufferCount(), qsizetype(4));
            QCOMPARE(f.k().contador.value(), 2);
            f.main().continuar_Click();
        }
        QTRY_COMPARE(f.k().contador.value(), 4);
        QCOMPARE(QList<int>(f.k().valores.begin() + 1, f.k().valores.begin() + 5), (QList<int>{301, 302, 303, 304}));
        QCOMPARE(f.reporter.failures.size(), 1); // the return is no second box
    }

    void portHeldByAnotherProgramIsReportedByName()
    {
        Fixture f;
        Pty pty;
        QProcess holder;
        holder.start(QCoreApplication::applicationDirPath() + QStringLiteral("/holdport"), {pty.slavePath()});
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
        f.comm().setDevice(1, pty.slavePath());
        f.chooseAndApply();
        holder.closeWriteChannel();
        holder.waitForFinished(5000);
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY2(f.reporter.failures[0].contains(pty.slavePath()), qPrintable(f.reporter.failures[0]));
        QVERIFY(f.reporter.failures[0].contains(QStringLiteral("en uso por otro programa")));
        QVERIFY(!f.comm().PortOpen());
        QCOMPARE(f.comm().RThreshold(), qint16(0));
        QCOMPARE(f.k().cadenaconf, QString()); // the apply stopped before composing
    }

    void deviceThatCannotBeOpenedIsReportedInSpanish_data()
    {
        QTest::addColumn<QString>("setup"); // what is put at the path first
        QTest::addColumn<QString>("path");  // {dir} stands for a temporary folder
        QTest::addColumn<QString>("reason");
        QTest::newRow("no such device") << "nothing" << "/dev/ttyNOPE9" << "el dispositivo no existe";
        QTest::newRow("empty --com1") << "nothing" << "" << "no se indicó ningún dispositivo";
        QTest::newRow("a folder") << "nothing" << "{dir}" << "es una carpeta";
        QTest::newRow("a plain file") << "file" << "{dir}/plain" << "no es un dispositivo serie";
        QTest::newRow("a device that is no terminal") << "nothing" << "/dev/null" << "no es un puerto serie";
        QTest::newRow("a path too long for the lock file")
            << "link" << "{dir}/" + QString(200, u'n') + "/" + QString(100, u'm') << "demasiado larga";
        QTest::newRow("no permission") << "forbidden link" << "{dir}/forbidden" << "no hay permiso";
    }
    void deviceThatCannotBeOpenedIsReportedInSpanish()
    {
        QFETCH(QString, setup);
        QFETCH(QString, path);
        QFETCH(QString, reason);
        Fixture f;
        Pty pty;
        path.replace(QStringLiteral("{dir}"), f.dir.path());
        if (setup == u"file")
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        if (setup.endsWith(u"link")) {
            QVERIFY(QDir().mkpath(path.section(u'/', 0, -2)));
            QVERIFY(QFile::link(pty.slavePath(), path));
        }
        if (setup == u"forbidden link") {
            if (::geteuid() == 0)
                QSKIP("root may open any device; permissions cannot be denied here");
            QVERIFY(QFile::setPermissions(pty.slavePath(), QFileDevice::ReadOwner));
        }
        f.comm().setDevice(1, path);
        f.chooseAndApply();
        QCOMPARE(f.reporter.failures.size(), 1);
        const QString message = f.reporter.failures[0];
        QVERIFY2(message.contains(QStringLiteral("COM1 (%1)").arg(path)), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
        // The system's English must not show through; the path is the user's, not ours.
        QString ownWords = message;
        ownWords.remove(path);
        for (const char *english : {"denied", "Inappropriate", "directory", "lock", "No such", "error"})
            QVERIFY2(!ownWords.contains(QLatin1String(english)), qPrintable(message));
        QVERIFY(!f.comm().PortOpen());
    }

    void deviceWhosePathIsNotUtf8OpensAsTheSystemNamesIt()
    {
        Fixture f;
        Pty pty;
        const QByteArray link = QFile::encodeName(f.dir.path()) + "/tty-caf\xe9";
        QVERIFY(::symlink(QFile::encodeName(pty.slavePath()).constData(), link.constData()) == 0);
        const auto cleanUp = qScopeGuard([&] { ::unlink(link.constData()); });
        f.comm().setNativeDevice(1, link);
        f.chooseAndApply();
        QVERIFY2(f.reporter.failures.isEmpty(), qPrintable(f.reporter.failures.join(u'\n')));
        QVERIFY(pty.write(samplesToBytes({4660})));
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 4660"));
    }

    void continuarShowsWhatWaitedAfterTheDeviceWasLost()
    {
        Fixture f;
        auto pty = std::make_unique<Pty>();
        f.comm().setDevice(1, pty->slavePath());
        f.chooseAndApply();
        f.main().STOP_Click();
        QVERIFY(pty->write(samplesToBytes({11, 12, 13})));
        QTRY_COMPARE(f.comm().InBufferCount(), qsizetype(6));
        pty.reset();
        QTRY_VERIFY(!f.comm().PortOpen());
        QCOMPARE(f.k().contador.value(), 0);
        f.main().continuar_Click();
        QTRY_COMPARE(f.k().contador.value(), 3);
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 13"));
    }

    void oneContinuarWhileTheGraphPlotsShowsAllThatWaitedAcrossALostDevice()
    {
        // The graph's pass pauses reception for its own length only: it must not undo the
        // user's Continuar because the port has gone meanwhile.
        Fixture f;
        auto pty = std::make_unique<Pty>();
        f.comm().setDevice(1, pty->slavePath());
        f.chooseAndApply();
        f.main().STOP_Click();
        const qint64 total = 4 * 1024 * 1024;
        auto byteAt = [](qint64 i) { return char(((i / 2) * 7 + (i & 1) * 3) & 0xff); };
        pty->writeGeneratedInBackground(total, byteAt);
        QTRY_VERIFY_WITH_TIMEOUT(f.comm().bytesReceived() == total, 30000);
        pty.reset();
        QTRY_VERIFY(!f.comm().PortOpen());
        QCOMPARE(f.reporter.failures.size(), 1);
        f.main().mnugrafico_Click();
        auto *graph = qobject_cast<GRFVanto *>(f.main().graficoWindow());
        QVERIFY(graph);
        graph->Graficar_Click();
        QTRY_VERIFY(f.k().posgraf.isSet() || graph->Timer1()->isActive());

        f.main().continuar_Click();
        QVERIFY(runUntil([&] { return f.comm().InBufferCount() == 0; }, 60000));
        const qint64 last = total / 2 - 1;
        const int newest = quint8(byteAt(2 * last)) + 256 * quint8(byteAt(2 * last + 1));
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" %1").arg(newest));
        QCOMPARE(f.reporter.failures.size(), 1);
    }

    void floodBeyondTheWaitLimitKeepsTheNewestAndGivesMemoryBack()
    {
        // Enough to pass the limit twice over; smaller under the sanitizers.
        const qsizetype floodMb = qEnvironmentVariableIntValue("DISPVANTO_FLOOD_MB") > 0
                                      ? qEnvironmentVariableIntValue("DISPVANTO_FLOOD_MB")
                                      : 50;
        const qsizetype limit = qMin<qsizetype>(WaitingBacklog::kDefaultLimit, floodMb * 1024 * 1024 / 2) & ~qsizetype(1);
        const qint64 total = qMax(qint64(limit) * 5 / 2, qint64(floodMb) << 20) + 1; // odd: the last half sample stays pending
        auto byteAt = [](qint64 i) { return char(((i / 2) * 40503u + (i >> 17)) >> ((i & 1) * 8)); };
        auto sampleAt = [&](qint64 s) { return quint16(quint8(byteAt(2 * s)) | quint8(byteAt(2 * s + 1)) << 8); };

        Fixture f;
        Pty pty;
        f.comm().setWaitLimit(limit);
        f.comm().setDevice(1, pty.slavePath());
        f.chooseAndApply();
        QVERIFY(pty.write(QByteArray(1, byteAt(0)))); // the first sample's low byte, read before STOP
        QTRY_COMPARE(f.comm().InBufferCount(), qsizetype(0));
        f.main().STOP_Click();
        const qint64 before = residentBytes();
        qint64 peak = before;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &watch, [&] { peak = qMax(peak, residentBytes()); });
        watch.start(20);
        pty.writeGeneratedInBackground(total - 1, [&](qint64 i) { return byteAt(i + 1); });
        QVERIFY(runUntil([&] { return pty.written(); }, 120000));
        // Written is not yet received: the last blocks may still be on their way.
        QTRY_COMPARE_WITH_TIMEOUT(f.comm().bytesReceived(), total, 20000);
        QCOMPARE(f.comm().InBufferCount(), limit - ((total - limit) & 1));
        peak = qMax(peak, residentBytes());
        QCOMPARE(f.k().contador.value(), 0);
        QVERIFY(f.reporter.failures.isEmpty()); // told when the gap is reached, once

        qint64 seen = 0, wrong = 0;
        const qint64 waiting = f.comm().InBufferCount();
        const qint64 firstKept = (total - waiting) / 2; // the first sample whose bytes all waited
        int lastCounter = 0;
        QObject::connect(&f.comm(), &SerialControl::deliveryDone, &f.comm(), [&] {
            while (f.k().contador.isSet() && lastCounter != f.k().contador.value()) {
                lastCounter = (lastCounter + 1) % Kyrserie::kRingSlots;
                wrong += f.k().valores[lastCounter] != sampleAt(firstKept + seen);
                ++seen;
            }
        });
        f.main().continuar_Click();
        QVERIFY(runUntil([&] { return f.comm().InBufferCount() == 0; }, 120000));
        watch.stop();
        QCOMPARE(seen, waiting / 2);
        QCOMPARE(wrong, 0);
        QCOMPARE(f.reporter.failures.size(), 1);
        const qint64 lost = 2 * firstKept; // the sample cut before the gap included
        QVERIFY2(f.reporter.failures[0].contains(QStringLiteral("los %1 bytes más antiguos (%2 muestras)").arg(lost).arg(lost / 2)),
                 qPrintable(f.reporter.failures[0]));
        const qint64 after = residentBytes();
        qInfo("wait limit %lld MiB, %lld MB sent: resident %lld MB before, %lld MB at the peak, %lld MB after",
              qint64(limit) >> 20, total / 1000000, before / 1000000, peak / 1000000, after / 1000000);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's quarantine keeps freed memory resident on purpose
        QVERIFY2(peak - before < qint64(limit) + 24 * 1024 * 1024, "a waiting byte costs about a byte");
        QVERIFY2(after - before < 16 * 1024 * 1024, "memory goes back once the backlog is decoded");
#endif
    }

    void floodWhileStoppedIsDecodedCompletelyInOrder()
    {
        const int megabytes = qEnvironmentVariableIntValue("DISPVANTO_FLOOD_MB") > 0
                                  ? qEnvironmentVariableIntValue("DISPVANTO_FLOOD_MB")
                                  : 50;
        const qsizetype samples = qsizetype(megabytes) * 1024 * 1024 / 2;
        auto sampleAt = [](qsizetype i) { return quint16((i * 40503u + (i >> 16)) & 0xffff); };
        QByteArray bytes(samples * 2, Qt::Uninitialized);
        for (qsizetype i = 0; i < samples; ++i) {
            bytes[2 * i] = char(sampleAt(i) & 0xff);
            bytes[2 * i + 1] = char(sampleAt(i) >> 8);
        }

        Fixture f;
        Pty pty;
        f.comm().setDevice(1, pty.slavePath());
        f.chooseAndApply();
        // Checks every sample after each batch: a batch completes fewer than 1000 samples, so
        // every new one is still in the ring.
        qsizetype seen = 0, wrong = 0;
        int lastCounter = 0;
        QObject::connect(&f.comm(), &SerialControl::deliveryDone, &f.comm(), [&] {
            while (f.k().contador.isSet() && lastCounter != f.k().contador.value()) {
                lastCounter = (lastCounter + 1) % Kyrserie::kRingSlots;
                wrong += f.k().valores[lastCounter] != sampleAt(seen);
                ++seen;
            }
        });
        f.main().STOP_Click();
        pty.writeInBackground(bytes);
        QTRY_VERIFY_WITH_TIMEOUT(f.comm().InBufferCount() == bytes.size(), 120000);
        QVERIFY(pty.waitWritten());
        QCOMPARE(seen, 0);
        f.main().continuar_Click();
        QTRY_COMPARE_WITH_TIMEOUT(seen, samples, 120000);
        QCOMPARE(wrong, 0);
        QCOMPARE(f.comm().InBufferCount(), 0);
        QVERIFY(f.reporter.failures.isEmpty());
    }
};

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
