#include "counter.h"
#include "messageboxreporter.h"
#include "framepacer.h"
#include "textrules.h"
#include "twips.h"

#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>
#include <cmath>

namespace {
/// Frames 200 ms apart on a frame clock the test moves by hand while it lives: what is painted
/// before the next frame does not depend on how busy the machine is.
struct HeldFrames
{
    static constexpr int kFrameMs = 200;
    const int before = frameInterval();
    HeldFrames()
    {
        setFrameInterval(kFrameMs);
        holdFrameClock(true);
    }
    ~HeldFrames()
    {
        holdFrameClock(false);
        setFrameInterval(before);
    }
    /// Lets a frame that was waiting come, and then as long again: the next change is painted at once.
    static void untilAFrameIsDue()
    {
        advanceFrameClock(kFrameMs);
        QCoreApplication::processEvents();
        advanceFrameClock(kFrameMs);
    }
};
} // namespace

class TestCommon : public QObject
{
    Q_OBJECT
private slots:
    void numericValueReadsTheLeadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("expected");
        QTest::newRow("plain") << "10" << 10.0;
        QTest::newRow("leading blanks") << "   20" << 20.0;
        QTest::newRow("blanks inside") << "1 0" << 10.0;
        QTest::newRow("piece with comma") << "9600," << 9600.0;
        QTest::newRow("decimal point") << "12.5x" << 12.5;
        QTest::newRow("comma is no decimal point") << "12,5" << 12.0;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("negative") << "-3abc" << -3.0;
        QTest::newRow("exponent") << "2e1" << 20.0;
        QTest::newRow("dangling exponent") << "7e" << 7.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("lone sign") << "-" << 0.0;
        QTest::newRow("lone point") << "." << 0.0;
        QTest::newRow("underflow") << "1e-999" << 0.0;
    }
    void numericValueReadsTheLeadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, expected);
        QCOMPARE(textrules::numericValue(text), expected);
    }

    void numericValueOfAHugeNumberIsInfinite()
    {
        QVERIFY(std::isinf(textrules::numericValue(QStringLiteral("1e999"))));
        QVERIFY(textrules::numericValue(QStringLiteral("-1e999")) < 0);
    }

    void numberFormsDiffer_data()
    {
        QTest::addColumn<qint64>("n");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("sign");
        QTest::addColumn<QString>("printed");
        QTest::newRow("zero") << qint64(0) << "0" << " 0" << " 0 ";
        QTest::newRow("sample") << qint64(4660) << "4660" << " 4660" << " 4660 ";
        QTest::newRow("largest sample") << qint64(65535) << "65535" << " 65535" << " 65535 ";
        QTest::newRow("negative") << qint64(-7) << "-7" << "-7" << "-7 ";
    }
    void numberFormsDiffer()
    {
        QFETCH(qint64, n);
        QFETCH(QString, plain);
        QFETCH(QString, sign);
        QFETCH(QString, printed);
        QCOMPARE(textrules::plainNumber(n), plain);
        QCOMPARE(textrules::signedNumber(n), sign);
        QCOMPARE(textrules::printedNumber(n), printed);
    }

    void unsetCounterReadsAsZeroAndBlank()
    {
        CounterValue c;
        QVERIFY(!c.isSet());
        QCOMPARE(c.value(), 0);
        QCOMPARE(c.text(), QString());
        c.set(0);
        QVERIFY(c.isSet());
        QCOMPARE(c.text(), QStringLiteral("0"));
        QVERIFY(!(c == CounterValue()));
    }

    void twipsRoundToTheNearestPixel_data()
    {
        QTest::addColumn<int>("twips");
        QTest::addColumn<int>("pixels");
        QTest::newRow("axis x") << 500 << 33;
        QTest::newRow("erase left edge") << 505 << 34;
        QTest::newRow("bottom axis") << 5500 << 367;
        QTest::newRow("erase bottom edge") << 5495 << 366;
        QTest::newRow("right frame") << 10500 << 700;
        QTest::newRow("erase right edge") << 10490 << 699;
        QTest::newRow("picture width") << 11100 << 740;
    }
    void twipsRoundToTheNearestPixel()
    {
        QFETCH(int, twips);
        QFETCH(int, pixels);
        QCOMPARE(twips::px(twips), pixels);
    }

    void handlerFailureReachesTheReporterAndStopsTheHandler()
    {
        RecordingReporter reporter;
        QPushButton button;
        int stepsDone = 0;
        connectHandler(&button, &QPushButton::clicked, &button, reporter, [&] {
            ++stepsDone;
            throw PlatformError(QStringLiteral("falló el paso dos"));
            ++stepsDone;
        });
        button.click();
        QCOMPARE(stepsDone, 1);
        QCOMPARE(reporter.failures, QStringList{QStringLiteral("falló el paso dos")});
    }

    void pacedWindowPaintsAtMostOncePerFrameAndNeverDropsTheLastChange()
    {
        struct Counting : QWidget
        {
            int paints = 0;
            void paintEvent(QPaintEvent *) override { ++paints; }
        } w;
        w.resize(50, 50);
        QWidget early; // paced before the rate is set: the one clock then runs at the default
        paceRepaints(&early);
        const HeldFrames frames;
        paceRepaints(&w);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY(w.paints > 0);
        HeldFrames::untilAFrameIsDue();
        const int before = w.paints;
        for (int i = 0; i < 20; ++i) {
            w.update();
            QCoreApplication::processEvents();
        }
        QCOMPARE(w.paints, before + 1); // the first change is painted at once, the rest wait
        advanceFrameClock(HeldFrames::kFrameMs / 2);
        QCoreApplication::processEvents();
        QCOMPARE(w.paints, before + 1); // for the next frame of the rate set, not of the default
        advanceFrameClock(HeldFrames::kFrameMs / 2);
        QTRY_COMPARE(w.paints, before + 2); // and are painted together at that frame
        advanceFrameClock(3 * HeldFrames::kFrameMs);
        QCoreApplication::processEvents();
        QCOMPARE(w.paints, before + 2); // nothing left over keeps it painting
    }

    void pacedTextIsLaidOutOncePerFrameAndTheNewestAlwaysArrives()
    {
        QWidget w;
        auto *edit = new QLineEdit(&w);
        const HeldFrames frames;
        paceRepaints(&w);
        auto *paced = new PacedText(edit);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        HeldFrames::untilAFrameIsDue();
        QSignalSpy changes(edit, &QLineEdit::textChanged);
        for (int i = 1; i <= 20; ++i) {
            paced->setText(QString::number(i));
            QCoreApplication::processEvents();
        }
        QCOMPARE(changes.size(), 1); // the first at once, the rest wait for the next frame
        QCOMPARE(paced->text(), QStringLiteral("20"));
        QCoreApplication::processEvents();
        QCOMPARE(changes.size(), 1);
        advanceFrameClock(HeldFrames::kFrameMs);
        QTRY_COMPARE(edit->text(), QStringLiteral("20"));
        QCOMPARE(changes.size(), 2);

        // The user types into the newest text, not into the one still on screen.
        paced->setText(QStringLiteral("35"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(edit->text(), QStringLiteral("3"));

        // A window not shown has no frames to wait for.
        w.hide();
        paced->setText(QStringLiteral("7"));
        QCOMPARE(edit->text(), QStringLiteral("7"));
    }

    void messageBoxDoesNotStackRepeats()
    {
        MessageBoxReporter reporter;
        reporter.report(QStringLiteral("uno"));
        reporter.report(QStringLiteral("uno"));
        reporter.report(QStringLiteral("dos"));
        const auto boxes = QApplication::topLevelWidgets();
        int visibleBoxes = 0;
        QString text;
        for (QWidget *w : boxes)
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible()) {
                ++visibleBoxes;
                text = box->text();
            }
        QCOMPARE(visibleBoxes, 1);
        QCOMPARE(text, QStringLiteral("uno\n\ndos"));
    }

    void ongoingReportKeepsItsLineUpToDateAndIsToldOnce()
    {
        MessageBoxReporter reporter;
        reporter.reportOngoing(QStringLiteral("descarte 1"), QStringLiteral("descartados: 10"));
        reporter.report(QStringLiteral("otro aviso"));
        reporter.reportOngoing(QStringLiteral("descarte 1"), QStringLiteral("descartados: 30"));
        QCOMPARE(reporter.box()->text(), QStringLiteral("descartados: 30\n\notro aviso"));
        reporter.box()->close(); // the user has read it
        reporter.reportOngoing(QStringLiteral("descarte 1"), QStringLiteral("descartados: 50"));
        QVERIFY(!reporter.box()->isVisible());
        reporter.reportOngoing(QStringLiteral("descarte 2"), QStringLiteral("descartados: 7"));
        QVERIFY(reporter.box()->isVisible());
        QCOMPARE(reporter.box()->text(), QStringLiteral("descartados: 7"));
    }

    void messageBoxShowsTheNewestFewAndStaysOnScreen()
    {
        MessageBoxReporter reporter;
        for (int i = 1; i <= 40; ++i)
            reporter.report(QStringLiteral("Fallo número %1: ").arg(i) + QString(300, u'x'));
        QMessageBox *box = reporter.box();
        QVERIFY(box && box->isVisible());
        QVERIFY2(box->text().startsWith(QStringLiteral("(Hay 35 avisos anteriores.)")), qPrintable(box->text().left(60)));
        QVERIFY(box->text().contains(QStringLiteral("Fallo número 40:")));
        QVERIFY(box->text().contains(QStringLiteral("Fallo número 36:")));
        QVERIFY(!box->text().contains(QStringLiteral("Fallo número 35:")));
        const QRect area = box->screen()->availableGeometry();
        QVERIFY2(area.contains(box->frameGeometry()), qPrintable(QStringLiteral("%1x%2 at %3,%4 on %5x%6")
                                                              .arg(box->frameGeometry().width()).arg(box->frameGeometry().height())
                                                              .arg(box->x()).arg(box->y()).arg(area.width()).arg(area.height())));
    }
};

QTEST_MAIN(TestCommon)
#include "test_common.moc"
