// Recording from the windowed program, end to end: a pseudo-terminal as the board, the windows
// driven as a user drives them, and the files read back as a user would read them.

#include "acquisitiontestaccess.h"
#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "program.h"
#include "recorder.h"
#include "windowrecording.h"
#include "testpty.h"
#include "waveform.h"
#include "recordingsupport.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QElapsedTimer>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

/// Calls act once a widget of type W is the popup or the modal window on top: menus and dialogs
/// run their own event loop, inside which this acts as the user would. A stray popup over a
/// modal dialog (a file dialog's completer shows when its folder is read, late on a busy
/// machine) does not hide the dialog. If W never shows, every popup and modal window is closed
/// after a while, so the test fails instead of waiting for ever.
template <typename W>
void whenShown(std::function<void(W *)> act)
{
    auto *poll = new QTimer;
    poll->setInterval(10);
    auto *deadline = new QElapsedTimer;
    deadline->start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, deadline, act] {
        W *w = qobject_cast<W *>(QApplication::activePopupWidget());
        if (!w)
            w = qobject_cast<W *>(QApplication::activeModalWidget());
        if (!w && deadline->elapsed() < 20000)
            return;
        poll->stop();
        poll->deleteLater();
        delete deadline;
        if (w) {
            act(w);
            return;
        }
        for (int i = 0; i < 16; ++i) // a window may refuse to close: a bound, not a loop for ever
            if (QWidget *top = QApplication::activePopupWidget() ? QApplication::activePopupWidget()
                                                                  : QApplication::activeModalWidget())
                top->close();
    });
    poll->start();
}

/// A right click at a point of a widget, as the window system reports it: the press, then the
/// context menu event (which the offscreen platform does not make from the press).
void rightClick(QWidget *w, QPoint at)
{
    QTest::mousePress(w, Qt::RightButton, {}, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
    QApplication::sendEvent(w, &menu);
    QTest::mouseRelease(w, Qt::RightButton, {}, at);
}

/// Types a file name into a file dialog's name field, as the user does.
void typeName(QFileDialog *dialog, const QString &name)
{
    auto *field = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    QVERIFY(field);
    field->setCompleter(nullptr); // its popup would come whenever the folder is read, over what follows
    field->clear();
    QTest::keyClicks(field, name);
    // The folder's listing comes from another thread, and when it comes late it can select the
    // file typed in an earlier round and put that name back: what was typed is what is chosen.
    dialog->selectFile(name);
}

/// Picks a menu item as a user does: highlight it, press Enter.
void choose(QMenu *menu, const char *name)
{
    QAction *a = menu->findChild<QAction *>(QString::fromLatin1(name));
    QVERIFY2(a && a->isEnabled(), name);
    menu->setActiveAction(a);
    QTest::keyClick(menu, Qt::Key_Return);
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT
private slots:
    void windowedRecordingFollowsDecodingAcrossStopAndALostDevice()
    {
        QTemporaryDir dir;
        RecordingReporter reporter;
        const QString csv = dir.filePath(QStringLiteral("w.csv")), raw = dir.filePath(QStringLiteral("w.bin"));
        QByteArray sent;
        QDateTime beforeOpening;
        auto send = [&](Pty &to, const QByteArray &bytes) {
            sent += bytes;
            return to.write(bytes);
        };
        {
            Program program(&reporter, dir.filePath(QStringLiteral("serphcn.cmm")));
            frmdispVanto &main = program.mainWindow();
            const QString link = dir.filePath(QStringLiteral("ttyLAB"));
            auto first = std::make_unique<Pty>();
            QVERIFY(QFile::link(first->slavePath(), link));
            testComm(program.acquisition()).setDevice(1, link);
            program.record(QFile::encodeName(csv), QFile::encodeName(raw));
            main.puertos_Click();
            auto click = [&](const char *name) {
                main.puertosWindow()->findChild<QAbstractButton *>(QString::fromLatin1(name))->click();
            };
            QTest::qWait(50); // the user takes a moment to open the port
            beforeOpening = QDateTime::currentDateTime();
            for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie"})
                click(b);

            QVERIFY(send(*first, boardBytes(0, 500)));
            QTRY_COMPARE(program.recorder()->samplesRecorded(), quint64(500));
            main.STOP_Click();
            // More than one delivery's worth waits; then the settings change, which also
            // switches reception on. The samples that waited came under the old settings.
            first->writeInBackground(boardBytes(500, 3000));
            sent += boardBytes(500, 3000);
            QTRY_COMPARE(testComm(program.acquisition()).InBufferCount(), qsizetype(6000));
            QVERIFY(first->waitWritten());
            QCOMPARE(program.recorder()->samplesRecorded(), quint64(500)); // recorded when decoded, not before
            click("bs2");
            click("Configserie");
            QTRY_COMPARE(program.recorder()->samplesRecorded(), quint64(3500));

            QVERIFY(send(*first, QByteArray(1, '\x42'))); // half a sample, cut off by the loss
            QTRY_COMPARE(program.acquisition().decoder().state().fase, qint16(1));
            first.reset();
            QTRY_COMPARE(reporter.failures.size(), 1);
            Pty second;
            QVERIFY(QFile::remove(link));
            QVERIFY(QFile::link(second.slavePath(), link));
            click("Configserie");
            QVERIFY(send(second, boardBytes(3500, 200)));
            QTRY_COMPARE(program.recorder()->samplesRecorded(), quint64(3700));
            QTRY_COMPARE(main.Text1()->text(), QStringLiteral(" %1").arg(boardsim::sampleAt(3699)));
            // Stopped, then ended: what waited is decoded and recorded on the way out.
            main.STOP_Click();
            QVERIFY(send(second, boardBytes(3700, 100)));
            QTRY_COMPARE(testComm(program.acquisition()).InBufferCount(), qsizetype(200));
            QSignalSpy ended(&program.run(), &Run::finished);
            main.findChild<QAction *>(QStringLiteral("salir"))->trigger(); // everything is written out on the way
            QVERIFY(ended.wait());
        }
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QCOMPARE(c.numbers, numbered(3800));
        QCOMPARE(c.values, boardValues(0, 3800));
        QCOMPARE(c.header(QStringLiteral("configuración")), QStringLiteral("9600,N,8,1"));
        // Recorded from before the port opened: the run starts when it opens.
        const QDateTime start = QDateTime::fromString(c.header(QStringLiteral("inicio")), Qt::ISODateWithMs);
        QVERIFY2(start.msecsTo(beforeOpening) <= 1, qPrintable(c.header(QStringLiteral("inicio"))));
        const QStringList changed = c.comments.filter(QStringLiteral("cambiada a 9600,N,8,2"));
        QCOMPARE(changed.size(), 1);
        QVERIFY2(changed[0].contains(QStringLiteral("tras la muestra 3499")), qPrintable(changed[0]));
        const QStringList lost = c.comments.filter(QStringLiteral("se perdió el puerto"));
        QCOMPARE(lost.size(), 1);
        QVERIFY2(lost[0].contains(QStringLiteral("tras la muestra 3499")), qPrintable(lost[0]));
        const QStringList reopened = c.comments.filter(QStringLiteral("se volvió a abrir"));
        QCOMPARE(reopened.size(), 1);
        QVERIFY2(reopened[0].contains(QStringLiteral("tras la muestra 3499")) && reopened[0].contains(QStringLiteral("1 byte")),
                 qPrintable(reopened[0]));
        // Every event line says its time with its offset from UTC, like the header.
        const QRegularExpression zoned(QStringLiteral("^# \\d{4}-\\d\\d-\\d\\dT[\\d:.]+(Z|[+-]\\d\\d:\\d\\d) \\("));
        QVERIFY(c.comments.indexOf(lost[0]) < c.comments.indexOf(reopened[0]));
        for (const QString &line : changed + lost + reopened)
            QVERIFY2(zoned.match(line).hasMatch(), qPrintable(line));
        QCOMPARE(readAll(raw), sent);
    }

    void failedWriteStopsThatFileOnlyAndReceptionGoesOn()
    {
        QTemporaryDir dir;
        RecordingReporter reporter;
        const QString csv = dir.filePath(QStringLiteral("limited.csv")), raw = dir.filePath(QStringLiteral("limited.bin"));
        Program program(&reporter, dir.filePath(QStringLiteral("serphcn.cmm")));
        frmdispVanto &main = program.mainWindow();
        main.setExitFunction([] {});
        Pty pty;
        testComm(program.acquisition()).setDevice(1, pty.slavePath());
        program.record(QFile::encodeName(csv), QFile::encodeName(raw));
        main.puertos_Click();
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie"})
            main.puertosWindow()->findChild<QAbstractButton *>(QString::fromLatin1(b))->click();

        {
            // A file-size limit makes the kernel refuse the write, as a full disk would: the CSV
            // reaches it, the 40 000 raw bytes do not.
            FileSizeLimit limit(64 * 1024);
            QVERIFY(limit.isValid());
            pty.writeInBackground(boardBytes(0, 20000));
            QTRY_VERIFY_WITH_TIMEOUT(program.recorder()->samplesRecorded() == 20000, 20000);
            program.recorder()->flush();
        }
        QVERIFY(program.recorder()->failedToWrite());
        QVERIFY(program.recorder()->isRecording());
        QMenu menu;
        program.recording().fillMenu(menu);
        QCOMPARE(menu.findChild<QAction *>(QStringLiteral("grabacionEnCurso"))->text(),
                 QStringLiteral("Grabando en %1: 20000 muestras").arg(raw)); // the failed file is named no more
        QCOMPARE(reporter.failures.size(), 1);
        const QString told = reporter.failures[0];
        QVERIFY2(told.contains(csv) && told.contains(QStringLiteral("tamaño máximo")), qPrintable(told));
        QVERIFY2(told.contains(QStringLiteral("La grabación sigue en %1").arg(raw)) && told.contains(QStringLiteral("recepción sigue")),
                 qPrintable(told));

        // What was written stays readable, and reception and the other file go on.
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QVERIFY(c.endsWithLineEnd);
        QVERIFY(!c.numbers.isEmpty());
        QCOMPARE(c.values, boardValues(0, c.values.size()));
        QVERIFY2(told.contains(QStringLiteral("%1 filas").arg(c.values.size())), qPrintable(told));
        QVERIFY(pty.write(boardBytes(20000, 1)));
        QTRY_COMPARE(main.Text1()->text(), QStringLiteral(" %1").arg(boardsim::sampleAt(20000)));
        QVERIFY(!program.recorder()->finish());
        QCOMPARE(readAll(raw), boardBytes(0, 20001));
        QCOMPARE(reporter.failures.size(), 1);
    }

    void recordingFromTheBackgroundMenuHoldsWhatTheBoardSent()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(QDir::homePath()));
        RecordingReporter reporter;
        Program program(&reporter, dir.filePath(QStringLiteral("serphcn.cmm")));
        frmdispVanto &main = program.mainWindow();
        main.setExitFunction([] {});
        Pty pty;
        testComm(program.acquisition()).setDevice(1, pty.slavePath());
        main.puertos_Click();
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie"})
            main.puertosWindow()->findChild<QAbstractButton *>(QString::fromLatin1(b))->click();
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        QVERIFY(pty.write(boardBytes(0, 10))); // before the recording: not in it
        QTRY_COMPARE(main.Text1()->text(), QStringLiteral(" %1").arg(boardsim::sampleAt(9)));
        QFile taken(dir.filePath(QStringLiteral("ensayo.csv")));
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.close();
        QWidget *background = main.findChild<QWidget *>(QStringLiteral("settings"));

        // Right click, "Grabar muestras…", CSV with raw bytes, a name that exists (refused,
        // asked again), then a new one.
        QString firstFolder, refusal;
        whenShown<QMenu>([](QMenu *m) { choose(m, "grabarMuestras"); });
        whenShown<QFileDialog>([&](QFileDialog *d) {
            firstFolder = d->directory().absolutePath();
            d->setDirectory(dir.path());
            d->selectNameFilter(d->nameFilters().value(1));
            typeName(d, QStringLiteral("ensayo.csv"));
            whenShown<QMessageBox>([&](QMessageBox *box) {
                refusal = box->text();
                whenShown<QFileDialog>([&](QFileDialog *again) {
                    typeName(again, QStringLiteral("nuevo"));
                    QMetaObject::invokeMethod(again, "accept");
                });
                box->accept();
            });
            QMetaObject::invokeMethod(d, "accept");
        });
        rightClick(background, QPoint(5, 5));
        QTRY_VERIFY(program.recorder() && program.recorder()->isRecording());
        QCOMPARE(firstFolder, QDir(QDir::homePath()).absolutePath());
        QVERIFY2(refusal.contains(QStringLiteral("Ya existe")) && refusal.contains(taken.fileName()), qPrintable(refusal));
        const QString csv = dir.filePath(QStringLiteral("nuevo.csv")), raw = dir.filePath(QStringLiteral("nuevo.bin"));
        QCOMPARE(program.recorder()->csvPath(), csv);
        QCOMPARE(program.recorder()->rawPath(), raw);

        pty.writeInBackground(boardBytes(10, 1000));
        QTRY_COMPARE(program.recorder()->samplesRecorded(), quint64(1000));
        // Stopped with samples waiting: the recording stops without them, and says so.
        main.STOP_Click();
        QVERIFY(pty.waitWritten());
        QVERIFY(pty.write(boardBytes(1010, 50)));
        QTRY_COMPARE(testComm(program.acquisition()).InBufferCount(), qsizetype(100));
        QString shown;
        whenShown<QMenu>([&](QMenu *m) {
            shown = m->findChild<QAction *>(QStringLiteral("grabacionEnCurso"))->text();
            QVERIFY(!m->findChild<QAction *>(QStringLiteral("grabarMuestras"))->isEnabled());
            choose(m, "detenerGrabacion");
        });
        rightClick(background, QPoint(5, 5));
        QCOMPARE(shown, QStringLiteral("Grabando en %1: 1000 muestras; %2: 1050 muestras").arg(csv, raw));
        QTRY_VERIFY(!program.recorder());
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QCOMPARE(c.numbers, numbered(1000));
        QCOMPARE(c.values, boardValues(10, 1000));
        QCOMPARE(c.comments.filter(QStringLiteral("terminó con 100 bytes recibidos tras la última muestra")).size(), 1);
        QCOMPARE(readAll(raw), boardBytes(10, 1050));

        // Offered again, in the folder of the last recording.
        QString secondFolder;
        whenShown<QMenu>([](QMenu *m) { choose(m, "grabarMuestras"); });
        whenShown<QFileDialog>([&](QFileDialog *d) {
            secondFolder = d->directory().absolutePath();
            d->reject();
        });
        rightClick(background, QPoint(5, 5));
        QCOMPARE(secondFolder, QDir(dir.path()).absolutePath());
        QVERIFY(reporter.failures.isEmpty());
    }

    void saveDialogOpensBesideTheCommandLineRecording_data()
    {
        QTest::addColumn<bool>("csv");
        QTest::addColumn<bool>("raw");
        QTest::newRow("--registro and --crudo") << true << true;
        QTest::newRow("--registro only") << true << false;
        QTest::newRow("--crudo only") << false << true;
    }
    // After a recording started from the command line, the dialog offers the next one in its
    // folder, with its file type (CSV alone, or with the raw bytes).
    void saveDialogOpensBesideTheCommandLineRecording()
    {
        QFETCH(bool, csv);
        QFETCH(bool, raw);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("ensayos")));
        const QString folder = dir.filePath(QStringLiteral("ensayos"));
        RecordingReporter reporter;
        Program program(&reporter, dir.filePath(QStringLiteral("serphcn.cmm")));
        frmdispVanto &main = program.mainWindow();
        main.setExitFunction([] {});
        program.record(csv ? QFile::encodeName(folder + QStringLiteral("/r.csv")) : QByteArray(),
                       raw ? QFile::encodeName(folder + QStringLiteral("/r.bin")) : QByteArray());
        program.recording().stop();
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        QString offered, type;
        whenShown<QMenu>([](QMenu *m) { choose(m, "grabarMuestras"); });
        whenShown<QFileDialog>([&](QFileDialog *d) {
            offered = d->directory().absolutePath();
            type = d->selectedNameFilter();
            d->reject();
        });
        rightClick(main.findChild<QWidget *>(QStringLiteral("settings")), QPoint(5, 5));
        QTRY_VERIFY(!offered.isEmpty());
        QCOMPARE(offered, QDir(folder).absolutePath());
        QCOMPARE(type.contains(QStringLiteral(".bin")), raw);
        QVERIFY(reporter.failures.isEmpty());
    }
};

QTEST_MAIN(TestRecording)
#include "test_recording.moc"
