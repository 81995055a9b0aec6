#include "acquisitiontestaccess.h"
#include "failure.h"
#include "frmdispvanto.h"
#include "grfvanto.h"
#include "picturebox.h"
#include "plotting.h"
#include "spanishqt.h"
#include "textrules.h"
#include "testpty.h"
#include "twips.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QColor kRed(255, 0, 0);

struct Fixture
{
    Acquisition acquisition;
    Kyrserie &k = acquisition.kyrserie();
    RecordingReporter reporter;
    frmdispVanto main{acquisition, reporter};
    QPointer<GRFVanto> g = new GRFVanto(acquisition, main, reporter);

    ~Fixture() { delete g.data(); }
    const QImage &image() const { return g->Picture1()->image(); }
    QColor at(double xTwips, double yTwips) const
    {
        return image().pixelColor(twips::px(xTwips), twips::px(yTwips));
    }
    bool redAt(int slot, int value, double zoom = 10) const { return at(500 + slot * zoom, 5500 - value) == kRed; }
    int redCount() const
    {
        int n = 0;
        for (int y = 0; y < image().height(); ++y)
            for (int x = 0; x < image().width(); ++x)
                n += image().pixelColor(x, y) == kRed;
        return n;
    }
    /// Stores a run of samples as the decoder would have, ending at slot `counter`.
    void stored(int counter, int value)
    {
        k.contador.set(counter);
        for (int i = 0; i < plotting::kSlots; ++i)
            k.valores[i] = value;
    }
    void pass(int cursor, int counter)
    {
        k.posgraf.set(cursor);
        k.contador.set(counter);
        g->Timer1_Timer();
    }
};

} // namespace

class TestGraph : public QObject
{
    Q_OBJECT
private slots:
    // --- arithmetic ----------------------------------------------------------------------

    void slotsOfAPass_data()
    {
        QTest::addColumn<int>("cursor");
        QTest::addColumn<int>("counter");
        QTest::addColumn<QList<int>>("visited");
        QTest::newRow("no new sample sets the cursor again") << 7 << 7 << QList<int>{7};
        QTest::newRow("forward") << 0 << 3 << QList<int>{0, 1, 2, 3};
        QTest::newRow("wrapped: tail then head") << 997 << 1 << QList<int>{997, 998, 999, 0, 1};
        QTest::newRow("wrapped onto 0") << 999 << 0 << QList<int>{999, 0};
    }
    void slotsOfAPass()
    {
        QFETCH(int, cursor);
        QFETCH(int, counter);
        QFETCH(QList<int>, visited);
        QList<int> got;
        plotting::forEachSlot(cursor, counter, [&](int s) { got << s; });
        QCOMPARE(got, visited);
    }

    void eraseSlotOnlyForWholeZoomsFrom10To1009_data()
    {
        QTest::addColumn<double>("zoom");
        QTest::addColumn<int>("slot"); // -1: never
        QTest::newRow("10") << 10.0 << 0;
        QTest::newRow("20") << 20.0 << 10;
        QTest::newRow("1009") << 1009.0 << 999;
        QTest::newRow("1010") << 1010.0 << -1;
        QTest::newRow("below 10") << 9.0 << -1;
        QTest::newRow("fraction") << 10.5 << -1;
        QTest::newRow("not a number gives 0") << 0.0 << -1;
        QTest::newRow("infinite") << qInf() << -1;
    }
    void eraseSlotOnlyForWholeZoomsFrom10To1009()
    {
        QFETCH(double, zoom);
        QFETCH(int, slot);
        const auto e = plotting::eraseSlot(zoom);
        QCOMPARE(e.value_or(-1), slot);
    }

    void pointsBeyondSinglePrecisionAreSkipped()
    {
        QCOMPARE(plotting::pointOf(3, 1000, 10), std::optional<QPointF>(QPointF(530, 4500)));
        QVERIFY(!plotting::pointOf(999, 0, 1e39));
        QVERIFY(!plotting::pointOf(1, 0, qInf()));
        QVERIFY(plotting::pointOf(0, 0, 1e39)); // slot 0 stays at x = 500
    }

    // --- window and axes -----------------------------------------------------------------

    void printLeavesTheTextAsDrawnAtTheCurrentPosition_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QPointF>("at");
        QTest::newRow("label") << " 1000 " << QPointF(50, 4400);
        QTest::newRow("elsewhere, a sign") << "-25 " << QPointF(3000, 3007);
        QTest::newRow("nothing") << "" << QPointF(50, 50);
    }

    void printLeavesTheTextAsDrawnAtTheCurrentPosition()
    {
        QFETCH(QString, text);
        QFETCH(QPointF, at);
        PictureBox box;
        box.setSizeTwips(10695, 6015);
        QImage expected = box.image();
        {
            QPainter p(&expected);
            p.setFont(box.font());
            p.setPen(box.foreColor());
            const QFontMetrics m(box.font());
            p.drawText(QRect(twips::point(at.x(), at.y()), QSize(m.horizontalAdvance(text) + 1, m.height())),
                       Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, text);
        }
        for (int times = 1; times <= 2; ++times) { // printed again over itself, it stays the same
            box.PSet(float(at.x()), float(at.y()), box.backColor()); // only moves the current position
            box.Print(text);
            QCOMPARE(box.image(), expected);
        }
        QCOMPARE(box.currentPosition().x(), 0.0);
        QVERIFY(box.currentPosition().y() > at.y());
    }

    void windowOpensWithItsControlsAndTheTimerOff()
    {
        Fixture f;
        QCOMPARE(f.g->windowTitle(), QStringLiteral("GRFVanto"));
        QVERIFY(!f.g->Timer1()->isActive());
        QCOMPARE(f.g->Timer1()->interval(), 10);
        QCOMPARE(f.g->Picture1()->geometry(), QRect(8, 8, 740, 401));
        QCOMPARE(f.g->pos(), QPoint(twips::px(100), twips::px(100)));
        QCOMPARE(f.g->Zoom()->text(), QStringLiteral("10"));
        QCOMPARE(f.g->Label1()->text(), QStringLiteral("0"));
        QCOMPARE(f.g->findChild<QLabel *>("Label5")->text(), QStringLiteral("Zomm  X"));
        QCOMPARE(f.g->findChild<QLabel *>("Label4")->text(), QStringLiteral("Número de muestras:"));
        QCOMPARE(f.g->findChild<QLineEdit *>("muestras")->text(), QStringLiteral("1000"));
        QCOMPARE(f.g->findChild<QPushButton *>("Graficar")->geometry(), twips::rect(480, 6360, 1335, 375));
        QCOMPARE(f.redCount(), 0);
    }

    void tabVisitsTheControlsByTabIndexPictureBoxIncluded()
    {
        Fixture f;
        f.g->show();
        QApplication::setActiveWindow(f.g);
        QVERIFY(QTest::qWaitForWindowActive(f.g));
        QStringList visited;
        for (int i = 0; i < 6; ++i) {
            visited << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(visited, (QStringList{"salir", "Picture1", "Graficar", "muestras", "Zoom", "ecr"}));
    }

    void savedImageTakesTheFormatItsNameSays_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QByteArray>("magic");
        const QByteArray png("\x89PNG\r\n\x1a\n"), jpeg("\xff\xd8\xff");
        QTest::newRow("no extension gets .png") << "traza" << "traza.png" << png;
        QTest::newRow("name ending in a dot") << "traza." << "traza.png" << png;
        QTest::newRow(".png") << "traza.png" << "traza.png" << png;
        QTest::newRow(".PNG") << "TRAZA.PNG" << "TRAZA.PNG" << png;
        QTest::newRow(".jpg") << "foto.jpg" << "foto.jpg" << jpeg;
        QTest::newRow(".jpeg") << "foto.jpeg" << "foto.jpeg" << jpeg;
        QTest::newRow("a dot in a folder name only") << "v1.2/traza" << "v1.2/traza.png" << png;
    }
    void savedImageTakesTheFormatItsNameSays()
    {
        QFETCH(QString, typed);
        QFETCH(QString, written);
        QFETCH(QByteArray, magic);
        Fixture f;
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("v1.2")));
        f.g->Graficar_Click();
        f.k.contador.set(3);
        f.k.valores[1] = 1000;
        f.g->Timer1_Timer();
        QStringList asked;
        f.g->setReplaceQuestion([&](const QString &path) { asked << path; return true; });
        f.g->setImagePathChooser([&] { return dir.filePath(typed); });
        f.g->guardarImagen();
        QCOMPARE(asked, QStringList()); // nothing was there to replace
        QFile file(dir.filePath(written));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith(magic));
        const QImage saved(dir.filePath(written));
        QCOMPARE(saved.size(), f.image().size());
        if (magic.startsWith("\x89PNG"))
            QCOMPARE(saved.convertToFormat(QImage::Format_RGB32), f.image().convertToFormat(QImage::Format_RGB32));
        QCOMPARE(QDir(QFileInfo(file).path()).entryList(QDir::Files), QStringList{QFileInfo(file).fileName()});
    }

    void replacingAFileIsAskedAboutTheFileWritten_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("answer");
        QTest::newRow("name without extension, declined") << "traza" << false;
        QTest::newRow("name without extension, accepted") << "traza" << true;
        QTest::newRow("full name, declined") << "traza.png" << false;
    }
    void replacingAFileIsAskedAboutTheFileWritten()
    {
        QFETCH(QString, typed);
        QFETCH(bool, answer);
        Fixture f;
        QTemporaryDir dir;
        const QString existing = dir.filePath(QStringLiteral("traza.png"));
        QFile old(existing);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("valioso") == 7);
        old.close();
        QStringList asked;
        f.g->setReplaceQuestion([&](const QString &path) { asked << path; return answer; });
        f.g->setImagePathChooser([&] { return dir.filePath(typed); });
        f.g->guardarImagen();
        QCOMPARE(asked, QStringList{QFileInfo(existing).absoluteFilePath()});
        if (answer)
            QCOMPARE(QImage(existing).convertToFormat(QImage::Format_RGB32), f.image().convertToFormat(QImage::Format_RGB32));
        else
            QCOMPARE(old.open(QIODevice::ReadOnly) ? old.readAll() : QByteArray(), QByteArray("valioso"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("traza.png")});
    }

    void imageThatCannotBeSavedIsReportedInSpanish_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<qint64>("sizeLimit"); // 0: none
        QTest::addColumn<QString>("says");
        QTest::newRow("unknown extension") << "traza.bmp" << qint64(0)
                                           << "No se guardó la imagen: «traza.bmp» no termina en .png, .jpg ni .jpeg.";
        QTest::newRow("missing folder") << "no/such/folder/x.png" << qint64(0) << "no existe la carpeta";
        // A file-size limit fails the write as a full or read-only disk would, with a reason from the system.
        QTest::newRow("write refused by the system") << "traza.png" << qint64(16)
                                                     << "el archivo superaría el tamaño máximo permitido.";
    }
    void imageThatCannotBeSavedIsReportedInSpanish()
    {
        QFETCH(QString, typed);
        QFETCH(qint64, sizeLimit);
        QFETCH(QString, says);
        Fixture f;
        QTemporaryDir dir;
        f.g->setImagePathChooser([&] { return dir.filePath(typed); });
        QString message;
        {
            std::optional<FileSizeLimit> limit;
            if (sizeLimit)
                QVERIFY(limit.emplace(sizeLimit).isValid());
            try {
                f.g->guardarImagen();
            } catch (const PlatformError &e) {
                message = e.message();
            }
        }
        QVERIFY2(message.contains(says), qPrintable(message));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList()); // nothing left behind
    }

    void dialogsSpeakSpanish()
    {
        // As the program starts: Qt's own texts in Spanish, then the window's real dialog.
        QVERIFY(installSpanishQtTexts());
        Fixture f;
        QStringList buttons;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            for (const QAbstractButton *b : dialog->findChildren<QAbstractButton *>())
                if (b->isVisible() && !b->text().isEmpty())
                    buttons << b->text().remove(u'&');
            dialog->reject();
        });
        poll.start();
        f.g->guardarImagen(); // returns once the dialog is cancelled
        QVERIFY2(buttons.contains(QStringLiteral("Guardar")) && buttons.contains(QStringLiteral("Cancelar")),
                 qPrintable(buttons.join(u',')));
        // The dialog's type column, which Qt's own catalogue leaves in English.
        QTemporaryDir dir;
        QCOMPARE(QFileIconProvider().type(QFileInfo(dir.path())), QStringLiteral("Carpeta"));
    }

    void graficarDrawsTheFrameAxesAndLabels()
    {
        Fixture f;
        f.g->Graficar_Click();
        QVERIFY(f.g->Timer1()->isActive());
        const QColor fore = f.g->Picture1()->foreColor();
        const QColor back = f.g->Picture1()->backColor();
        // Vertical axis, bottom axis (with its overshoot), top and right frame lines.
        for (auto [x, y] : {std::pair{500, 400}, {500, 3000}, {500, 5500}, {3000, 5500}, {10800, 5500},
                            {600, 500}, {10500, 500}, {10500, 3000}})
            QVERIFY2(f.at(x, y) == fore, qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
        QCOMPARE(f.at(500, 300), back);   // the axis starts at 400
        QCOMPARE(f.at(10700, 500), back); // the top line ends at 10500
        // Six labels, each with its top at 5400 − v: ink starts in that row, none just above.
        const QImage &img = f.image();
        for (int v = 0; v <= 5000; v += 1000) {
            const int top = twips::px(5400 - v);
            bool inkAbove = false;
            int inkRows = 0;
            for (int x = 0; x < 32; ++x) {
                inkAbove |= img.pixelColor(x, top - 2) != back;
                for (int y = top; y < top + 15; ++y)
                    inkRows += img.pixelColor(x, y) != back;
            }
            QVERIFY2(!inkAbove, qPrintable(QString::number(v)));
            QVERIFY2(inkRows > 10, qPrintable(QString::number(v)));
        }
    }

    void graficarTwiceLeavesOneFrameAndNoTrace()
    {
        Fixture f;
        f.g->Graficar_Click();
        const QImage once = f.image();
        f.stored(3, 1000);
        f.g->Timer1_Timer();
        QVERIFY(f.redCount() > 0);
        f.g->Graficar_Click();
        QCOMPARE(f.image(), once);
    }

    void firstPassPlotsSlotZeroThenTheStoredSamples()
    {
        Fixture f;
        f.k.contador.set(3);
        f.k.valores[1] = 1000;
        f.k.valores[2] = 2000;
        f.k.valores[3] = 3000;
        f.g->Graficar_Click();
        f.g->Timer1_Timer();
        QVERIFY(f.redAt(0, 0));
        QVERIFY(f.redAt(1, 1000));
        QVERIFY(f.redAt(2, 2000));
        QVERIFY(f.redAt(3, 3000));
        QCOMPARE(f.redCount(), 4);
        QCOMPARE(f.k.posgraf.value(), 3);
        QCOMPARE(f.g->Label1()->text(), QStringLiteral("3"));
        QCOMPARE(f.g->ecr()->text(), QStringLiteral("3000"));
        QVERIFY(f.g->Timer1()->isActive());
    }

    void beforeAnySampleTheCounterShowsBlankAndSlotZero()
    {
        Fixture f;
        f.g->Graficar_Click();
        f.g->Timer1_Timer();
        QCOMPARE(f.g->Label1()->text(), QString());
        QCOMPARE(f.g->ecr()->text(), QStringLiteral("0"));
        QVERIFY(f.redAt(0, 0));
        QVERIFY(!f.k.posgraf.isSet());
    }

    void wrappedCounterPlotsTailAndHead()
    {
        Fixture f;
        f.g->Zoom()->setText(QStringLiteral("9")); // no erase in the way
        f.g->Graficar_Click();
        f.stored(0, 2500);
        f.pass(995, 3);
        QSet<int> columns;
        for (int slot : {995, 996, 997, 998, 999, 0, 1, 2, 3}) {
            QVERIFY2(f.redAt(slot, 2500, 9), qPrintable(QString::number(slot)));
            columns.insert(twips::px(500 + slot * 9));
        }
        QCOMPARE(f.redCount(), columns.size()); // nothing else is plotted
        QCOMPARE(f.k.posgraf.value(), 3);
    }

    void eraseWhenTheSweepPassesOrStopsAtTheEraseSlot_data()
    {
        QTest::addColumn<QString>("zoom");
        QTest::addColumn<int>("cursor");
        QTest::addColumn<int>("counter");
        QTest::addColumn<bool>("erased");
        QTest::newRow("zoom 10, counter runs past 0") << "10" << 990 << 5 << true;
        QTest::newRow("zoom 10, counter stops at 0") << "10" << 990 << 0 << true;
        QTest::newRow("zoom 10, cursor already at 0") << "10" << 0 << 5 << false;
        QTest::newRow("zoom 10, no wrap") << "10" << 100 << 200 << false;
        QTest::newRow("zoom 20 erases at slot 10") << "20" << 8 << 12 << true;
        QTest::newRow("zoom 20 before slot 10") << "20" << 2 << 9 << false;
        QTest::newRow("zoom abc never") << "abc" << 990 << 5 << false;
        QTest::newRow("zoom 10.5 never") << "10.5" << 990 << 5 << false;
    }
    void eraseWhenTheSweepPassesOrStopsAtTheEraseSlot()
    {
        QFETCH(QString, zoom);
        QFETCH(int, cursor);
        QFETCH(int, counter);
        QFETCH(bool, erased);
        Fixture f;
        f.g->Graficar_Click();
        // An old trace point in the middle of the plot area.
        f.g->Picture1()->PSet(5000, 3000, kRed);
        f.g->Zoom()->setText(zoom);
        f.stored(0, 1500);
        f.pass(cursor, counter);
        QCOMPARE(f.at(5000, 3000) != kRed, erased);
        // Whatever was erased, the samples from the erase slot on are on screen.
        const double z = textrules::numericValue(zoom);
        QVERIFY(f.redAt(counter, 1500, z));
    }

    void labelsAreWholeAfterAnErase()
    {
        Fixture f;
        f.g->Graficar_Click();
        const QImage clean = f.image();
        f.stored(0, 2500);
        f.pass(990, 5);
        const QImage &img = f.image();
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < 70; ++x)
                if (img.pixelColor(x, y) != kRed)
                    QVERIFY2(img.pixelColor(x, y) == clean.pixelColor(x, y), qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
    }

    void zoomNotANumberPlotsEverythingOnTheAxis()
    {
        Fixture f;
        f.g->Graficar_Click();
        f.g->Zoom()->setText(QStringLiteral("abc"));
        f.stored(0, 0);
        for (int i = 1; i <= 4; ++i)
            f.k.valores[i] = i * 1000;
        f.pass(0, 4);
        for (int i = 0; i <= 4; ++i)
            QVERIFY(f.at(500, 5500 - i * 1000) == kRed);
    }

    void hugeZoomSkipsThePointsInsteadOfFailing()
    {
        Fixture f;
        f.g->Graficar_Click();
        f.g->Zoom()->setText(QStringLiteral("1e39"));
        f.stored(0, 1000);
        f.pass(0, 20);
        QVERIFY(f.reporter.failures.isEmpty());
        QCOMPARE(f.redCount(), 1); // slot 0 alone stays at x = 500
        QCOMPARE(f.k.posgraf.value(), 20);
    }

    void passRestoresTheThresholdItFound()
    {
        Fixture f;
        Pty pty;
        SerialControl *comm = &testComm(f.acquisition);
        comm->setDevice(1, pty.slavePath());
        comm->setPortOpen(true);
        comm->setRThreshold(1);
        f.main.STOP_Click();
        f.g->Timer1_Timer();
        QCOMPARE(comm->RThreshold(), qint16(0)); // STOP holds while the graph plots
        f.main.continuar_Click();
        f.g->Timer1_Timer();
        QCOMPARE(comm->RThreshold(), qint16(1));
    }

    void passWithTheEventLoopPlotsOnTheTimer()
    {
        Fixture f;
        f.stored(0, 1000);
        f.k.contador.set(2);
        f.g->show();
        QTest::mouseClick(f.g->findChild<QPushButton *>("Graficar"), Qt::LeftButton);
        QTRY_VERIFY(f.redAt(2, 1000));
        QTRY_COMPARE(f.k.posgraf.value(), 2);
    }

    void screenShowsEachPassAndOnlyWhatChangedIsRepainted_data()
    {
        QTest::addColumn<int>("cursor");
        QTest::addColumn<int>("counter");
        QTest::addColumn<int>("value");
        // How many 32-pixel columns of the plot the pass may repaint.
        QTest::addColumn<int>("columns");
        QTest::newRow("nothing new") << 200 << 200 << 1000 << 0;
        QTest::newRow("a few new points") << 200 << 203 << 2000 << 1;
        QTest::newRow("the same points again") << 190 << 203 << 1000 << 0;
        QTest::newRow("erase, the same trace again") << 400 << 399 << 1000 << 0;
        QTest::newRow("erase, a new trace") << 400 << 399 << 3000 << 10;
    }

    void screenShowsEachPassAndOnlyWhatChangedIsRepainted()
    {
        QFETCH(int, cursor);
        QFETCH(int, counter);
        QFETCH(int, value);
        QFETCH(int, columns);
        Fixture f;
        f.main.hide();
        f.g->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.g));
        f.g->Graficar_Click();
        auto pass = [&](int from, int to) {
            f.pass(from, to);
            f.g->Timer1()->stop(); // the passes are run by hand
        };
        PictureBox *box = f.g->Picture1();
        auto onScreen = [&] {
            const QPoint at = box->mapTo(f.g, QPoint());
            return f.g->screen()->grabWindow(f.g->winId(), at.x(), at.y(), box->width(), box->height())
                .toImage().convertToFormat(QImage::Format_RGB32);
        };
        // A lap at zoom 10: the plot is erased at slot 0, then slots 0 to 399 are plotted at 1000.
        f.stored(0, 1000);
        pass(400, 399);
        QTRY_COMPARE(onScreen(), f.image());

        struct PaintWatch : QObject
        {
            QRegion painted;
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::Paint)
                    painted += static_cast<QPaintEvent *>(e)->region();
                return false;
            }
        } watch;
        box->installEventFilter(&watch);
        for (int i = 0; i < plotting::kSlots; ++i)
            f.k.valores[i] = value;
        pass(cursor, counter);
        QTRY_COMPARE(onScreen(), f.image());
        QTest::qWait(50); // a frame or two: anything marked is painted by now
        QCOMPARE(onScreen(), f.image());
        QSet<int> painted;
        for (const QRect &r : watch.painted)
            for (int x = r.left(); x <= r.right(); ++x)
                painted.insert(x / 32);
        QVERIFY2(painted.size() <= columns, qPrintable(QStringLiteral("%1 columns repainted").arg(painted.size())));
        QCOMPARE(f.g->ecr()->text(), QString::number(value));
    }

    void passWithNothingNewChangesNothingButAnyChangeIsDrawn_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("nothing") << "";
        QTest::newRow("a new value in the same slot") << "value";
        QTest::newRow("another zoom") << "zoom";
        QTest::newRow("the surface cleared") << "graficar";
        QTest::newRow("the surface resized") << "form_load";
    }

    void passWithNothingNewChangesNothingButAnyChangeIsDrawn()
    {
        QFETCH(QString, change);
        Fixture f;
        f.g->Graficar_Click();
        f.stored(0, 1000);
        f.pass(0, 5);
        const QImage before = f.image();
        f.g->Timer1_Timer(); // nothing new
        QCOMPARE(f.image(), before);
        int value = 1000;
        double zoom = 10;
        if (change == u"value") {
            value = 3000;
            f.k.valores[5] = value; // a whole lap later, the counter is back at the same slot
        } else if (change == u"zoom") {
            zoom = 20;
            f.g->Zoom()->setText(QStringLiteral("20"));
        } else if (change == u"graficar") {
            f.g->Graficar_Click();
        } else if (change == u"form_load") {
            f.g->Form_Load();
        }
        f.g->Timer1_Timer();
        QVERIFY(f.redAt(5, value, zoom));
        QCOMPARE(f.g->ecr()->text(), QString::number(value));
        QCOMPARE(f.k.posgraf.value(), 5);
        if (change.isEmpty())
            QCOMPARE(f.image(), before);
    }

    void salirHidesStopsAndKeepsTheDrawing()
    {
        Fixture f;
        f.main.hide();
        f.g->show();
        f.g->Graficar_Click();
        f.stored(3, 1000);
        f.g->Timer1_Timer();
        const QImage before = f.image();
        QTest::mouseClick(f.g->findChild<QPushButton *>("salir"), Qt::LeftButton);
        QVERIFY(!f.g->isVisible());
        QVERIFY(f.main.isVisible());
        QVERIFY(!f.g->Timer1()->isActive());
        f.k.contador.set(50); // new samples while hidden are not drawn
        QTest::qWait(40);
        f.g->show();
        QCOMPARE(f.image(), before);
        QVERIFY(!f.g->Timer1()->isActive());
    }

    void closedFromTheTitleBarTheNextGraficoIsFresh()
    {
        Acquisition a;
        RecordingReporter r;
        frmdispVanto main(a, r);
        main.setGraficoFactory([&]() -> QWidget * { return new GRFVanto(a, main, r); });
        main.mnugrafico_Click();
        auto *first = qobject_cast<GRFVanto *>(main.graficoWindow());
        QVERIFY(first);
        first->Graficar_Click();
        QPointer<GRFVanto> guard(first);
        first->close();
        QTRY_VERIFY(guard.isNull());
        main.mnugrafico_Click();
        auto *second = qobject_cast<GRFVanto *>(main.graficoWindow());
        QVERIFY(second);
        QVERIFY(!second->Timer1()->isActive());
        QImage blank(second->Picture1()->image().size(), QImage::Format_RGB32);
        blank.fill(second->Picture1()->backColor());
        QCOMPARE(second->Picture1()->image(), blank);
    }
};

QTEST_MAIN(TestGraph)
#include "test_graph.moc"
