#include "acquisitiontestaccess.h"
#include "displaybox.h"
#include "displayfont.h"
#include "failure.h"
#include "frmdispvanto.h"
#include "testpty.h"
#include "twips.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStyleOptionFrame>
#include <QtTest>



class TestAcquisition : public QObject
{
    Q_OBJECT
private slots:
    // --- main window ---------------------------------------------------------------------

    void mainWindowHasItsCaptionsAndLayout()
    {
        Acquisition a;
        RecordingReporter r;
        frmdispVanto w(a, r);
        QCOMPARE(w.windowTitle(), QStringLiteral("dispVanto"));
        QCOMPARE(w.centralWidget()->size(), QSize(twips::px(7575), twips::px(5295)));
        struct Expect
        {
            const char *name;
            const char *text;
            int l, t, wd, h;
        };
        const Expect expected[] = {{"Text1", "", 960, 360, 5055, 1875},
                                   {"settings", "", 360, 3000, 3375, 255},
                                   {"Label1", "Configuracion puerto", 480, 3480, 2175, 375},
                                   {"Framdis", nullptr, 720, 120, 5415, 2535},
                                   {"borrar", "B", 3240, 3480, 375, 375},
                                   {"STOP", "STOP", 3120, 4200, 1095, 495},
                                   {"continuar", "Continuar", 840, 4200, 1095, 495}};
        for (const auto &e : expected) {
            auto *c = w.findChild<QWidget *>(QString::fromLatin1(e.name));
            QVERIFY2(c, e.name);
            QCOMPARE(c->geometry(), twips::rect(e.l, e.t, e.wd, e.h));
            if (!e.text)
                continue;
            QString text;
            if (auto *b = qobject_cast<QPushButton *>(c))
                text = b->text();
            else if (auto *l = qobject_cast<QLabel *>(c))
                text = l->text();
            else if (auto *le = qobject_cast<QLineEdit *>(c))
                text = le->text();
            QCOMPARE(text, QString::fromUtf8(e.text));
        }
        const auto menus = w.menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text(), QStringLiteral("configurar"));
        QCOMPARE(menus[1]->text(), QStringLiteral("GRFVantoo"));
        QStringList items;
        for (auto *m : menus)
            for (auto *a : m->menu()->actions())
                items << a->text();
        QCOMPARE(items, (QStringList{"puertos", "salir", "grafico"}));
        // Text1 stands in front of the frame around it.
        auto *parent = w.Text1()->parentWidget();
        QVERIFY(parent->children().indexOf(w.Text1()) > parent->children().indexOf(w.Framdis()));
        QVERIFY(w.Framdis()->geometry().contains(w.Text1()->geometry()));
    }

    void tabOrderFollowsTheTabIndex()
    {
        Acquisition a;
        RecordingReporter r;
        frmdispVanto w(a, r);
        QStringList order;
        QWidget *at = w.Text1();
        for (int i = 0; i < 4; ++i, at = at->nextInFocusChain()) {
            while (at->focusPolicy() == Qt::NoFocus)
                at = at->nextInFocusChain();
            order << at->objectName();
        }
        QCOMPARE(order, (QStringList{"Text1", "borrar", "STOP", "continuar"}));
    }

    void displayFontDrawsDigits()
    {
        const QFont f = displayFont();
        QCOMPARE(f.pointSize(), 72);
        const QString family = QFontInfo(f).family();
        QVERIFY2(QFontDatabase::writingSystems(family).contains(QFontDatabase::Latin), qPrintable(family));
        // Each digit draws ink, and no two digits draw the same picture.
        QList<QImage> glyphs;
        for (char d = '0'; d <= '9'; ++d) {
            QImage img(120, 140, QImage::Format_RGB32);
            img.fill(Qt::white);
            QPainter p(&img);
            p.setFont(f);
            p.setPen(Qt::black);
            p.drawText(img.rect(), Qt::AlignCenter, QString(QChar(d)));
            p.end();
            QVERIFY2(img != QImage(img.size(), img.format()), "digit drew nothing");
            for (const QImage &other : glyphs)
                QVERIFY2(img != other, qPrintable(QStringLiteral("digit %1 looks like another").arg(d)));
            glyphs << img;
        }
    }

    void displayShowsTheDigitsOnScreen()
    {
        Acquisition a;
        RecordingReporter r;
        frmdispVanto w(a, r);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto inkIn = [&](const QString &text) {
            w.Text1()->setText(text);
            const QImage img = w.Text1()->grab().toImage();
            int ink = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    ink += qGray(img.pixel(x, y)) < 100;
            return ink;
        };
        const int blank = inkIn(QString());
        const int eight = inkIn(QStringLiteral(" 8888"));
        // Four 72-point digits blacken thousands of pixels.
        QVERIFY2(eight - blank > 3000, qPrintable(QStringLiteral("%1 dark pixels").arg(eight - blank)));
    }

    void displayPaintsNumbersAsAPlainTextBoxWould_data()
    {
        QTest::addColumn<bool>("focused");
        QTest::newRow("without focus") << false;
        QTest::newRow("with focus") << true;
    }

    void displayPaintsNumbersAsAPlainTextBoxWould()
    {
        // Compared as shown on screen, inside a window, so that what the box paints around
        // its frame is compared too.
        QFETCH(bool, focused);
        QWidget fastWindow, plainWindow;
        auto *fast = new DisplayBox(&fastWindow);
        auto *plain = new QLineEdit(&plainWindow);
        // Each is shown in turn, as the active window, so that both are in the same state.
        auto shown = [&](QLineEdit *w) {
            w->setFont(displayFont());
            w->setAlignment(Qt::AlignCenter);
            w->setGeometry(16, 16, twips::px(5055), twips::px(1875));
            QWidget *window = w->window();
            window->resize(w->width() + 32, w->height() + 32);
            window->show();
            window->activateWindow();
            [&] { QVERIFY(QTest::qWaitForWindowActive(window)); }();
            w->setText(QStringLiteral(" 4660"));
            if (focused)
                w->setFocus();
            else
                w->clearFocus();
            QTest::qWait(50);
            const QImage shot = window->screen()->grabWindow(window->winId()).toImage().convertToFormat(QImage::Format_RGB32);
            window->hide();
            return shot;
        };
        const QImage a = shown(fast), b = shown(plain);
        QCOMPARE(a.size(), b.size());
        // Outside the text, pixel for pixel: the frame and what shows around it.
        QStyleOptionFrame option;
        option.initFrom(plain);
        const QRect text = plain->style()->subElementRect(QStyle::SE_LineEditContents, &option, plain)
                               .adjusted(2, 2, -2, -2)
                               .translated(plain->pos());
        int differing = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (!text.contains(x, y) && a.pixel(x, y) != b.pixel(x, y))
                    ++differing;
        QCOMPARE(differing, 0);
        // Inside, the digits: the same ink in the same place, within the rounding of glyph images.
        auto inkBox = [&](const QImage &img, int *ink) {
            QRect box;
            *ink = 0;
            for (int y = text.top(); y <= text.bottom(); ++y)
                for (int x = text.left(); x <= text.right(); ++x)
                    if (qGray(img.pixel(x, y)) < 100) {
                        box |= QRect(x, y, 1, 1);
                        ++*ink;
                    }
            return box;
        };
        int fastInk = 0, plainInk = 0;
        const QRect ia = inkBox(a, &fastInk), ib = inkBox(b, &plainInk);
        QVERIFY(plainInk > 3000);
        QVERIFY2(qAbs(fastInk - plainInk) < plainInk / 10, qPrintable(QStringLiteral("%1 vs %2").arg(fastInk).arg(plainInk)));
        for (int d : {ia.left() - ib.left(), ia.right() - ib.right(), ia.top() - ib.top(), ia.bottom() - ib.bottom()})
            QVERIFY2(qAbs(d) <= 3, qPrintable(QStringLiteral("ink at %1,%2 %3x%4 vs %5,%6 %7x%8")
                                                  .arg(ia.x()).arg(ia.y()).arg(ia.width()).arg(ia.height())
                                                  .arg(ib.x()).arg(ib.y()).arg(ib.width()).arg(ib.height())));
    }

    void displayRepaintsOnlyWhatChangedAndShowsWhatAFullPaintWould_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("focused");
        // The largest share of the box a change may repaint.
        QTest::addColumn<double>("most");
        QTest::newRow("last digit") << " 4660" << " 4661" << false << 0.3;
        QTest::newRow("last digit, cursor shown") << " 4660" << " 4661" << true << 0.3;
        QTest::newRow("two middle digits") << " 4660" << " 4990" << false << 0.5;
        QTest::newRow("every digit") << " 4660" << " 1234" << false << 1.0;
        QTest::newRow("wider") << " 999" << " 1000" << true << 1.0;
        QTest::newRow("narrower, sign") << " 12" << "-5" << false << 1.0;
        QTest::newRow("blanked") << " 12" << "" << true << 1.0;
        QTest::newRow("from blank") << "" << " 7" << false << 1.0;
    }

    void displayRepaintsOnlyWhatChangedAndShowsWhatAFullPaintWould()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, focused);
        QFETCH(double, most);
        QWidget window;
        auto *box = new DisplayBox(&window);
        box->setFont(displayFont());
        box->setAlignment(Qt::AlignCenter);
        box->setGeometry(16, 16, twips::px(5055), twips::px(1875));
        window.resize(box->width() + 32, box->height() + 32);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        if (focused)
            box->setFocus();
        else
            box->clearFocus();
        box->showText(from);
        QTest::qWait(30);

        struct PaintWatch : QObject
        {
            QRegion painted;
            int paints = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::Paint) {
                    painted += static_cast<QPaintEvent *>(e)->region();
                    ++paints;
                }
                return false;
            }
        } watch;
        box->installEventFilter(&watch);
        auto onScreen = [&] {
            return window.screen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
        };

        box->showText(from); // the same text again: nothing to paint
        QTest::qWait(30);
        QCOMPARE(watch.paints, 0);

        box->showText(to);
        QCOMPARE(box->text(), to);
        QTRY_VERIFY(watch.paints > 0);
        qint64 area = 0;
        for (const QRect &r : watch.painted)
            area += qint64(r.width()) * r.height();
        QVERIFY2(area <= most * box->width() * box->height(),
                 qPrintable(QStringLiteral("%1 of %2 pixels repainted").arg(area).arg(box->width() * box->height())));
        const QImage changed = onScreen();
        box->repaint();
        QCOMPARE(changed, onScreen()); // nothing left over from the old number, nothing missing
    }

    void stopAndContinuarDoNothingWhilePortIsClosed()
    {
        Acquisition a;
        RecordingReporter r;
        frmdispVanto w(a, r);
        w.findChild<QPushButton *>("continuar")->click();
        QCOMPARE(testComm(a).RThreshold(), qint16(0));
        w.findChild<QPushButton *>("STOP")->click();
        QCOMPARE(testComm(a).RThreshold(), qint16(0));
        QVERIFY(r.failures.isEmpty());
    }

    void borrarBlanksOnlyTheDisplay()
    {
        Acquisition a;
        Kyrserie &k = a.kyrserie();
        k.contador.set(5);
        k.valores[5] = 77;
        RecordingReporter r;
        frmdispVanto w(a, r);
        w.Text1()->setText(QStringLiteral(" 77"));
        w.findChild<QPushButton *>("borrar")->click();
        QCOMPARE(w.Text1()->text(), QString());
        QCOMPARE(k.contador.value(), 5);
        QCOMPARE(k.valores[5], 77);
    }

    void salirAndClosingTheWindowEndTheProgram()
    {
        Acquisition a;
        RecordingReporter r;
        frmdispVanto w(a, r);
        int exits = 0;
        w.setExitFunction([&] { ++exits; });
        w.show();
        w.findChild<QAction *>("salir")->trigger();
        QCOMPARE(exits, 1);
        w.close();
        QCOMPARE(exits, 2);
    }

    void menuItemsCreateTheirWindowOnceAndThenShowIt()
    {
        Acquisition a;
        RecordingReporter r;
        frmdispVanto w(a, r);
        int made = 0;
        w.setGraficoFactory([&] {
            ++made;
            return new QWidget;
        });
        auto *item = w.findChild<QAction *>("mnugrafico");
        item->trigger();
        QVERIFY(w.graficoWindow()->isVisible());
        w.graficoWindow()->hide();
        item->trigger();
        QCOMPARE(made, 1);
        QVERIFY(w.graficoWindow()->isVisible());
        w.graficoWindow()->setWindowState(Qt::WindowMinimized | Qt::WindowMaximized);
        item->trigger(); // a minimized window comes back as it was
        QCOMPARE(w.graficoWindow()->windowState(), Qt::WindowStates(Qt::WindowMaximized));
        delete w.graficoWindow(); // discarded: the next click makes a new one
        item->trigger();
        QCOMPARE(made, 2);
    }
};

QTEST_MAIN(TestAcquisition)
#include "test_acquisition.moc"
