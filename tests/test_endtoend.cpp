// The whole program over real pseudo-terminals: bytes written as the board would write them,
// checked where the user sees them.

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
        main().MSComm1()->setDevice(1, pty.slavePath());
        main().setExitFunction([] {});
        main().show();
    }
    frmdispVanto &main() { return program.mainWindow(); }
    Kyrserie &k() { return program.kyrserie(); }
    SerialControl &comm() { return *main().MSComm1(); }
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
};

QTEST_MAIN(TestEndToEnd)
#include "test_endtoend.moc"
