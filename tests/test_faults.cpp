// What the lab throws at the program: adapters pulled out, ports held by another program,
// missing devices, floods while stopped. Each case checks that nothing is lost, the user is
// told, and the program stays responsive.

#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "program.h"
#include "testpty.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
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
    SerialControl &comm() { return *main().MSComm1(); }
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
        QVERIFY(f.reporter.failures.isEmpty());
        QVERIFY(first->write(samplesToBytes({101, 102, 103})));
        QVERIFY(first->write(QByteArray("\x55", 1))); // half a sample, cut off by the loss
        QTRY_COMPARE(f.k().contador.value(), 3);
        first.reset();
        QTRY_COMPARE(f.reporter.failures.size(), 1);
        QVERIFY(!f.comm().PortOpen());
        QVERIFY(f.reporter.failures[0].contains(link));
        f.click("cerrar");
        QCOMPARE(f.main().settings()->text(), QStringLiteral("9600,N,8,1Puerto Cerrado"));

        // The adapter is plugged in again and shows up at the same path.
        Pty second;
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(second.slavePath(), link));
        f.click("Configserie");
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY(f.comm().PortOpen());
        QVERIFY(second.write(samplesToBytes({201, 202})));
        QTRY_COMPARE(f.k().contador.value(), 5);
        QCOMPARE(QList<int>(f.k().valores.begin() + 1, f.k().valores.begin() + 6),
                 (QList<int>{101, 102, 103, 201, 202}));
        QCOMPARE(f.main().Text1()->text(), QStringLiteral(" 202"));
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

    void missingOrForbiddenDeviceIsReported_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::newRow("no such device") << false;
        QTest::newRow("no permission") << true;
    }
    void missingOrForbiddenDeviceIsReported()
    {
        QFETCH(bool, exists);
        if (exists && ::geteuid() == 0)
            QSKIP("root may open any device; permissions cannot be denied here");
        Fixture f;
        Pty pty;
        const QString path = exists ? f.dir.path() + QStringLiteral("/forbidden") : QStringLiteral("/dev/ttyNOPE9");
        if (exists) {
            QVERIFY(QFile::link(pty.slavePath(), path));
            QVERIFY(QFile::setPermissions(pty.slavePath(), QFileDevice::ReadOwner));
        }
        f.comm().setDevice(1, path);
        f.chooseAndApply();
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY2(f.reporter.failures[0].contains(path), qPrintable(f.reporter.failures[0]));
        QVERIFY(!f.comm().PortOpen());
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
