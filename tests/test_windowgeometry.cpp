// Window places and sizes on a desktop with a window manager, which adds title bars and
// borders: the graph window's outer frame and the main window's client area sit where the
// layout says, in twips.

#include "frmdispvanto.h"
#include "program.h"
#include "twips.h"

#include <QTemporaryDir>
#include <QtTest>

class TestWindowGeometry : public QObject
{
    Q_OBJECT
private slots:
    void windowsSitWhereTheLayoutSaysUnderAWindowManager()
    {
        QTemporaryDir dir;
        RecordingReporter reporter;
        Program program(&reporter, dir.path() + QStringLiteral("/serphcn.cmm"));
        frmdispVanto &main = program.mainWindow();
        main.setExitFunction([] {});
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        // The client area below the menu bar opens at (165, 555) twips from the screen's corner.
        QWidget *client = main.centralWidget();
        QTRY_VERIFY(main.frameGeometry() != main.geometry()); // framed by the window manager
        QTRY_COMPARE(client->mapToGlobal(QPoint(0, 0)), twips::point(165, 555));

        main.mnugrafico_Click();
        QWidget *graph = main.graficoWindow();
        QVERIFY(QTest::qWaitForWindowExposed(graph));
        QTRY_VERIFY(graph->frameGeometry() != graph->geometry());
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
};

QTEST_MAIN(TestWindowGeometry)
#include "test_windowgeometry.moc"
