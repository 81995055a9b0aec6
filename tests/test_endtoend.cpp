// The whole program over real pseudo-terminals: bytes written as the board would write them,
// checked where the user sees them.

#include "acquisitiontestaccess.h"
#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
#include "picturebox.h"
#include "program.h"
#include "testpty.h"
#include "twips.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>
#include <utility>


namespace {

QList<quint16> counting(int from, int to)
{
    QList<quint16> s;
    for (int i = from; i <= to; ++i)
        s << quint16(i);
    return s;
}

struct Fixture
{
    QTemporaryDir dir;
    RecordingReporter reporter;
    Program program{&reporter, dir.path() + QStringLiteral("/serphcn.cmm")};
    Pty pty;

    Fixture()
    {
        testComm(program.acquisition()).setDevice(1, pty.slavePath());
        main().setExitFunction([] {});
        main().show();
    }
    frmdispVanto &main() { return program.mainWindow(); }
    Kyrserie &k() { return program.kyrserie(); }
    SerialControl &comm() { return testComm(program.acquisition()); }
    void openDirectly()
    {
        comm().setSettings(QStringLiteral("9600,N,8,1"));
        comm().setPortOpen(true);
        comm().setRThreshold(1);
    }
    void clickIn(QWidget *window, const char *name)
    {
        auto *b = window->findChild<QAbstractButton *>(QString::fromLatin1(name));
        QVERIFY2(b, name);
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(5, b->height() / 2));
    }
    /// Waits until `count` samples of a fresh run have been decoded.
    bool waitForSamples(int count, int timeoutMs = 20000)
    {
        QElapsedTimer t;
        t.start();
        const int slot = count % 1000;
        while (t.elapsed() < timeoutMs) {
            if (k().contador.isSet() && k().contador.value() == slot && comm().InBufferCount() == 0)
                return true;
            QTest::qWait(5);
        }
        return false;
    }
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void twoBytesBecomeOneSampleOnTheDisplay()
    {
        Fixture f;
        f.openDirectly();
        QVERIFY(f.pty.write(QByteArray("\x34", 1)));
        QTest::qWait(30);
        QCOMPARE(f.main().Text1()->text(), QString());
        QVERIFY(!f.k().contador.isSet());
        QVERIFY(f.pty.write(QByteArray("\x12", 1)));
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 4660"));
        QCOMPARE(f.k().contador.value(), 1);
        QCOMPARE(f.k().valores[1], 4660);
        QVERIFY(f.reporter.failures.isEmpty());
    }

    void aBurstOf2000SamplesArrivesCompleteAndInOrder()
    {
        Fixture f;
        f.openDirectly();
        f.pty.writeInBackground(samplesToBytes(counting(1, 2000)));
        QVERIFY(f.pty.waitWritten());
        QVERIFY(f.waitForSamples(2000));
        for (int slot = 1; slot < 1000; ++slot)
            QCOMPARE(f.k().valores[slot], 1000 + slot);
        QCOMPARE(f.k().valores[0], 2000);
        QCOMPARE(f.k().valores[1000], 0);
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 2000")); // shown within a frame
    }

    void stopHoldsBytesAndContinuarDeliversThemInOrder()
    {
        Fixture f;
        f.openDirectly();
        QVERIFY(f.pty.write(samplesToBytes({11, 12})));
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 12"));
        f.clickIn(&f.main(), "STOP");
        QVERIFY(f.pty.write(samplesToBytes({13, 14, 15})));
        QTRY_COMPARE(f.comm().InBufferCount(), qsizetype(6));
        QTest::qWait(30);
        QCOMPARE(f.main().Text1()->text(), QStringLiteral(" 12"));
        QCOMPARE(f.k().contador.value(), 2);
        f.clickIn(&f.main(), "continuar");
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 15"));
        QCOMPARE(f.k().contador.value(), 5);
        QCOMPARE(QList<int>(f.k().valores.begin() + 1, f.k().valores.begin() + 6), (QList<int>{11, 12, 13, 14, 15}));
    }

    void lostDeviceIsReportedOnceAndTheProgramGoesIdle()
    {
        Fixture f;
        f.openDirectly();
        QVERIFY(f.pty.write(samplesToBytes({100, 200, 300})));
        QTRY_COMPARE(f.k().contador.value(), 3);
        QVERIFY(f.pty.write(QByteArray("\x01", 1))); // half a sample in flight
        f.pty.closeSlave();
        f.pty.closeMaster();
        QTRY_COMPARE(f.reporter.failures.size(), 1);
        QVERIFY(!f.comm().PortOpen());
        QVERIFY2(f.reporter.failures[0].contains(f.pty.slavePath()), qPrintable(f.reporter.failures[0]));
        QCoreApplication::processEvents(); // what it costs afterwards is measured by `make bench`
        QCOMPARE(f.reporter.failures.size(), 1);
        QCOMPARE(QList<int>(f.k().valores.begin() + 1, f.k().valores.begin() + 4), (QList<int>{100, 200, 300}));
    }

    void theUsersWayFromTheMenuToLiveReception()
    {
        Fixture f;
        f.main().findChild<QAction *>("puertos")->trigger();
        QWidget *config = f.main().puertosWindow();
        QVERIFY(config && config->isVisible());
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie", "cerrar"})
            f.clickIn(config, b);
        QVERIFY2(f.reporter.failures.isEmpty(), qPrintable(f.reporter.failures.join('\n')));
        QVERIFY(!config->isVisible());
        QCOMPARE(f.main().settings()->text(), QStringLiteral("9600,N,8,1Puerto Abierto"));
        QVERIFY(f.pty.write(samplesToBytes({1234, 4321})));
        QTRY_COMPARE(f.main().Text1()->text(), QStringLiteral(" 4321"));
        // "puertos" again shows the same window with its selections.
        f.main().findChild<QAction *>("puertos")->trigger();
        QCOMPARE(f.main().puertosWindow(), config);
        QVERIFY(config->findChild<QRadioButton *>("br9600")->isChecked());
    }

    void liveTraceShowsRedPointsAtTheSlots()
    {
        Fixture f;
        f.openDirectly();
        f.main().findChild<QAction *>("mnugrafico")->trigger();
        auto *graph = qobject_cast<GRFVanto *>(f.main().graficoWindow());
        QVERIFY(graph && graph->isVisible());
        f.clickIn(graph, "Graficar");
        QVERIFY(f.pty.write(samplesToBytes({1000, 2000, 3000, 4000})));
        const QColor red(255, 0, 0);
        for (int slot = 1; slot <= 4; ++slot) {
            const QPoint p = twips::point(500 + slot * 10, 5500 - slot * 1000);
            QTRY_COMPARE(graph->Picture1()->image().pixelColor(p), red);
        }
        QTRY_COMPARE(graph->Label1()->text(), QStringLiteral("4"));
        QCOMPARE(graph->ecr()->text(), QStringLiteral("4000"));
        QVERIFY(f.reporter.failures.isEmpty());
    }

    void stopHoldsWhileTheGraphPlots()
    {
        Fixture f;
        f.openDirectly();
        f.main().mnugrafico_Click();
        auto *graph = qobject_cast<GRFVanto *>(f.main().graficoWindow());
        graph->Graficar_Click();
        f.main().STOP_Click();
        QVERIFY(f.pty.write(samplesToBytes({7, 8})));
        QTRY_COMPARE(f.comm().InBufferCount(), qsizetype(4));
        QTest::qWait(60); // several plotting passes
        QVERIFY(!f.k().contador.isSet());
        f.main().continuar_Click();
        QTRY_COMPARE(f.k().contador.value(), 2);
    }

    void discardsAreToldOncePerFloodWithTheirCauseAndARunningCount_data()
    {
        QTest::addColumn<bool>("userStopped");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("notTheCause");
        QTest::newRow("the user stopped reception")
            << true << "mientras la recepción estaba detenida" << "más rápido";
        QTest::newRow("bytes came faster than they were decoded")
            << false << "llegan más rápido de lo que se decodifican" << "detenida";
    }
    void discardsAreToldOncePerFloodWithTheirCauseAndARunningCount()
    {
        QFETCH(bool, userStopped);
        QFETCH(QString, cause);
        QFETCH(QString, notTheCause);
        Fixture f;
        // Above one delivered batch, so that a gap can be reached with bytes still waiting.
        f.comm().setWaitLimit(4000);
        f.program.acquisition().apply(1, QStringLiteral("9600,N,8,1"));
        // Nothing is decoded while bytes pile up: the user's STOP, or the program's own pause
        // (a plotting pass's), where decoding falls behind the bytes that come.
        std::optional<Acquisition::Hold> busy;
        auto pause = [&] { userStopped ? f.main().STOP_Click() : void(busy.emplace(f.program.acquisition())); };
        auto go = [&] { userStopped ? f.main().continuar_Click() : busy.reset(); };
        qint64 sent = 0;
        auto flood = [&] {
            sent += 10000;
            return f.pty.write(QByteArray(10000, '\x5a')) && runUntil([&] { return f.comm().bytesReceived() == sent; }, 20000);
        };
        auto drained = [&] { return runUntil([&] { return f.comm().InBufferCount() == 0; }, 20000); };

        pause();
        QVERIFY(flood()); // 6000 bytes cut
        bool first = true;
        QObject::connect(&f.comm(), &SerialControl::deliveryDone, &f.comm(), [&] {
            if (std::exchange(first, false))
                pause(); // the gap is passed, bytes still wait, and more pile up
        });
        go();
        QVERIFY(runUntil([&] { return !first; }, 20000));
        QCOMPARE(f.reporter.failures.size(), 1);
        const qint64 left = f.comm().InBufferCount();
        QVERIFY(left > 0);
        const QString told = f.reporter.failures[0];
        QVERIFY2(told.contains(cause) && !told.contains(notTheCause), qPrintable(told));
        QVERIFY2(told.contains(QStringLiteral("los 6000 bytes más antiguos (3000 muestras).")), qPrintable(told));
        QVERIFY(flood()); // what was left and 6000 new are cut: a second gap of the same flood
        go();
        QVERIFY(drained());
        QCOMPARE(f.reporter.failures.size(), 1); // the same line, brought up to date
        const qint64 total = 6000 + left + 6000;
        QVERIFY2(f.reporter.failures[0].contains(QStringLiteral("los %1 bytes más antiguos (%2 muestras), en 2 cortes.")
                                                     .arg(total).arg(total / 2)),
                 qPrintable(f.reporter.failures[0]));
        QVERIFY2(f.reporter.failures[0].contains(cause), qPrintable(f.reporter.failures[0]));

        // Decoding caught up: the next flood is told anew.
        pause();
        QVERIFY(flood());
        go();
        QVERIFY(drained());
        QCOMPARE(f.reporter.failures.size(), 2);
        QVERIFY2(f.reporter.failures[1].contains(QStringLiteral("los 6000 bytes más antiguos (3000 muestras).")),
                 qPrintable(f.reporter.failures[1]));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_endtoend.moc"
