// Window places and sizes on a desktop with a window manager, which adds title bars and
// borders: the graph window's outer frame and the main window's client area sit where the
// layout says, in twips.

#include "frmdispvanto.h"
#include "program.h"
#include "twips.h"

#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

/// The whole program on the desktop, its main window shown.
struct Desktop
{
    QTemporaryDir dir;
    RecordingReporter reporter;
    Program program{&reporter, dir.path() + QStringLiteral("/serphcn.cmm")};
    frmdispVanto &main = program.mainWindow();
    Desktop()
    {
        main.setExitFunction([] {});
        main.show();
    }
};

} // namespace

class TestWindowGeometry : public QObject
{
    Q_OBJECT
private slots:
    void windowsSitWhereTheLayoutSaysUnderAWindowManager()
    {
        Desktop desktop;
        frmdispVanto &main = desktop.main;
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        // The client area below the menu bar opens at (165, 555) twips from the screen's corner.
        QWidget *client = main.centralWidget();
        QTRY_VERIFY_WITH_TIMEOUT(main.frameGeometry() != main.geometry(), 90000); // framed by the window manager: slow on a loaded machine
        QTRY_COMPARE(client->mapToGlobal(QPoint(0, 0)), twips::point(165, 555));

        main.mnugrafico_Click();
        QWidget *graph = main.graficoWindow();
        QVERIFY(QTest::qWaitForWindowExposed(graph));
        QTRY_VERIFY_WITH_TIMEOUT(graph->frameGeometry() != graph->geometry(), 90000);
        // Left 100, Top 100, Width 11750, Height 8100 are the outer frame.
        QTRY_COMPARE(graph->frameGeometry(), QRect(twips::px(100), twips::px(100), twips::px(11750), twips::px(8100)));
        qInfo("graph window: outer %d,%d %dx%d, client %d,%d %dx%d; main window client area at %d,%d",
              graph->frameGeometry().x(), graph->frameGeometry().y(), graph->frameGeometry().width(),
              graph->frameGeometry().height(), graph->geometry().x(), graph->geometry().y(), graph->width(),
              graph->height(), client->mapToGlobal(QPoint(0, 0)).x(), client->mapToGlobal(QPoint(0, 0)).y());
        // Everything the window holds still fits in the smaller client area.
        for (QWidget *w : graph->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            QVERIFY2(graph->rect().contains(w->geometry().topLeft()), qPrintable(w->objectName()));
    }

    void graphWindowKeepsWhatTheUserGivesIt()
    {
        Desktop desktop;
        frmdispVanto &main = desktop.main;
        main.mnugrafico_Click();
        QWidget *graph = main.graficoWindow();
        QVERIFY(QTest::qWaitForWindowExposed(graph));
        const QSize outer(twips::px(11750), twips::px(8100));
        QTRY_COMPARE(graph->frameGeometry().size(), outer);
        // As the user's double-click on the title bar does: the window manager is asked.
        auto windowManager = [&](const QStringList &args) {
            QProcess wmctrl;
            wmctrl.start(QStringLiteral("wmctrl"), QStringList{QStringLiteral("-i"), QStringLiteral("-r"),
                                                               QString::number(graph->winId())} + args);
            return wmctrl.waitForFinished(10000) && wmctrl.exitCode() == 0;
        };
        // Maximized, the client area takes the screen but for the title bar (the frame size Qt
        // reports may lag behind the window manager's new borders).
        const QSize screen = graph->screen()->availableGeometry().size();
        auto fillsTheScreen = [&] {
            return graph->isMaximized() && graph->width() >= screen.width() - 8 && graph->height() >= screen.height() - 48;
        };
        for (int i = 0; i < 5; ++i) {
            QVERIFY(windowManager({QStringLiteral("-b"), QStringLiteral("add,maximized_vert,maximized_horz")}));
            QTRY_VERIFY(fillsTheScreen());
            QTest::qWait(700); // past the fits that follow a frame change: nothing undoes it
            QVERIFY2(fillsTheScreen(), qPrintable(QStringLiteral("%1: %2x%3").arg(i).arg(graph->width()).arg(graph->height())));
            QVERIFY(windowManager({QStringLiteral("-b"), QStringLiteral("remove,maximized_vert,maximized_horz")}));
            QTRY_COMPARE(graph->frameGeometry().size(), outer);
        }
        // A size the user gives it stays through Salir and grafico.
        QVERIFY(windowManager({QStringLiteral("-e"), QStringLiteral("0,-1,-1,600,420")}));
        QTRY_VERIFY(graph->frameGeometry().size() != outer);
        const QSize chosen = graph->frameGeometry().size();
        graph->findChild<QPushButton *>(QStringLiteral("salir"))->click();
        QTRY_VERIFY(!graph->isVisible());
        main.mnugrafico_Click();
        QVERIFY(QTest::qWaitForWindowExposed(graph));
        QTest::qWait(700);
        QCOMPARE(graph->frameGeometry().size(), chosen);
        QVERIFY(desktop.reporter.failures.isEmpty());
    }
};

QTEST_MAIN(TestWindowGeometry)
#include "test_windowgeometry.moc"
