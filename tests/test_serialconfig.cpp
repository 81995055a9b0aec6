#include "acquisitiontestaccess.h"
#include "failure.h"
#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "serialsettings.h"
#include "settingsfile.h"
#include "testpty.h"
#include "twips.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using serialsettings::Group;
using serialsettings::Pieces;

namespace {

const Pieces k9600N81{QStringLiteral("9600,"), QStringLiteral("N,"), QStringLiteral("8,"), QStringLiteral("1"), 1};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

/// A configuration window on a fresh program state, with its settings file in a temporary folder.
struct Fixture
{
    QTemporaryDir dir;
    Acquisition acquisition;
    Kyrserie &k = acquisition.kyrserie();
    RecordingReporter reporter;
    frmdispVanto main{acquisition, reporter};
    frmcomm1 window{acquisition, main, reporter, QFile::encodeName(path())};

    QString path() const { return dir.path() + QStringLiteral("/serphcn.cmm"); }
    void click(const char *name)
    {
        auto *w = window.findChild<QAbstractButton *>(QString::fromLatin1(name));
        QVERIFY2(w, name);
        QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(5, w->height() / 2));
    }
    /// COM1, 9600, no parity, 8 bits, 1 stop bit, then Confserie.
    void applyFullChoice()
    {
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie"})
            click(b);
    }
    QStringList checked() const
    {
        QStringList names;
        for (const auto &b : serialsettings::kButtons)
            if (window.optionButton(b.name)->isChecked())
                names << QString::fromLatin1(b.name);
        return names;
    }
};

} // namespace

class TestSerialConfig : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<Pieces>(); }

    // --- model ---------------------------------------------------------------------------

    void compositionJoinsThePiecesVerbatim_data()
    {
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QString>("composed");
        QTest::newRow("nothing chosen") << Pieces{} << "";
        QTest::newRow("only baud keeps its comma") << Pieces{"9600,", "", "", "", 0} << "9600,";
        QTest::newRow("full") << k9600N81 << "9600,N,8,1";
        QTest::newRow("even seven two") << Pieces{"300,", "E,", "7,", "2", 0} << "300,E,7,2";
        QTest::newRow("six bits from a file") << Pieces{"9600,", "N,", "6,", "1", 0} << "9600,N,6,1";
        QTest::newRow("hand-edited baud without comma") << Pieces{"9600", "N,", "8,", "1", 0} << "9600N,8,1";
    }
    void compositionJoinsThePiecesVerbatim()
    {
        QFETCH(Pieces, pieces);
        QFETCH(QString, composed);
        QCOMPARE(serialsettings::compose(pieces), composed);
    }

    void loadedValuesSelectTheirButtons_data()
    {
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QStringList>("selected");
        QTest::newRow("saved by the window") << k9600N81 << QStringList{"br9600", "pnopar", "bd8", "bs1", "pto3f8"};
        QTest::newRow("baud without comma still matches") << Pieces{"4800", "O,", "7,", "2", 2}
                                                          << QStringList{"br4800", "pimpar", "bd7", "bs2", "pto2f8"};
        QTest::newRow("lower-case parity, six bits, port 3") << Pieces{"300,", "n,", "6,", "1", 3}
                                                             << QStringList{"br300", "bs1"};
        QTest::newRow("empty") << Pieces{} << QStringList{};
    }
    void loadedValuesSelectTheirButtons()
    {
        QFETCH(Pieces, pieces);
        QFETCH(QStringList, selected);
        QStringList got;
        for (Group g : {Group::Baud, Group::Parity, Group::DataBits, Group::StopBits, Group::Port})
            if (const auto *b = serialsettings::matchingButton(g, pieces))
                got << QString::fromLatin1(b->name);
        QCOMPARE(got, selected);
    }

    // --- file bytes ----------------------------------------------------------------------

    void savedBytesAreExact_data()
    {
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("29-byte example")
            << k9600N81
            << QByteArray::fromHex("22393630302C220D0A" "224E2C220D0A" "22382C220D0A" "2231220D0A" "310D0A");
        QTest::newRow("nothing chosen, 19 bytes") << Pieces{} << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n0\r\n");
        QTest::newRow("negative port") << Pieces{"", "", "", "", -5} << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n-5\r\n");
    }
    void savedBytesAreExact()
    {
        QFETCH(Pieces, pieces);
        QFETCH(QByteArray, bytes);
        const QByteArray out = settingsfile::serialize(pieces);
        QCOMPARE(out, bytes);
        QCOMPARE(settingsfile::parse(out), std::optional<Pieces>(pieces)); // and it reads back unchanged
    }

    void readingRuleHandlesHandEditedFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Pieces>("pieces");
        QTest::newRow("six data bits") << QByteArray("\"9600,\"\r\n\"N,\"\r\n\"6,\"\r\n\"1\"\r\n1\r\n")
                                       << Pieces{"9600,", "N,", "6,", "1", 1};
        QTest::newRow("unquoted fields on one line") << QByteArray("9600,N,8,1,2") << Pieces{"9600", "N", "8", "1", 2};
        QTest::newRow("blanks and LF line ends") << QByteArray("  \"9600,\"\n \"E,\"\n\"7,\"\n\"2\"\n 3 \n")
                                                 << Pieces{"9600,", "E,", "7,", "2", 3};
        QTest::newRow("text after closing quote skipped") << QByteArray("\"300,\"xx\r\n\"O,\"\r\n\"8,\"\r\n\"1\"\r\n2")
                                                          << Pieces{"300,", "O,", "8,", "1", 2};
        QTest::newRow("extra lines ignored") << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n0\r\nmore\r\n") << Pieces{};
        QTest::newRow("blanks at the end of an unquoted field kept")
            << QByteArray("9600 ,N ,8\t,1 \r\n2 \r\n") << Pieces{"9600 ", "N ", "8\t", "1 ", 2};
        QTest::newRow("non-text bytes after the fifth field ignored")
            << QByteArray("\"300,\"\r\n\"O,\"\r\n\"8,\"\r\n\"1\"\r\n2\r\n\xff\xfe\x00\"\xc3\xb1\r\n") << Pieces{"300,", "O,", "8,", "1", 2};
        QTest::newRow("a megabyte after the fifth field ignored")
            << QByteArray("\"300,\"\r\n\"O,\"\r\n\"8,\"\r\n\"1\"\r\n2\r\n") + QByteArray(1 << 20, 'x')
            << Pieces{"300,", "O,", "8,", "1", 2};
    }
    void readingRuleHandlesHandEditedFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Pieces, pieces);
        QString why;
        const auto got = settingsfile::parse(bytes, &why);
        QVERIFY2(got, qPrintable(why));
        QCOMPARE(*got, pieces);
    }

    void damagedFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << QByteArray() << "vacío";
        QTest::newRow("short") << QByteArray("\"9600,\"\r\n\"N,\"\r\n") << "2 de los 5";
        QTest::newRow("four fields") << QByteArray("\"9600,\"\r\n\"N,\"\r\n\"8,\"\r\n\"1\"\r\n") << "4 de los 5";
        QTest::newRow("garbage fifth") << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\nCOM1\r\n") << "COM1";
        QTest::newRow("fifth out of range") << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n40000\r\n") << "40000";
        QTest::newRow("fifth fractional") << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n1.5\r\n") << "1.5";
        QTest::newRow("fifth empty") << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n,\r\n") << "quinto";
        QTest::newRow("non-ASCII byte in a piece")
            << QByteArray("\"9600\xf1,\"\r\n\"N,\"\r\n\"8,\"\r\n\"1\"\r\n1\r\n") << "0xf1 en la posición 6";
        QTest::newRow("stray quote in an unquoted field")
            << QByteArray("\"9600,\"\r\n\"N,,\"\r\n\"N,\"\r\n1\"\r\n1\r\n") << "comillas sueltas en el campo 4";
        QTest::newRow("NUL byte") << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n0\0\r\n", 20) << "0x00";
        QTest::newRow("closing quote missing: the piece would run across lines")
            << QByteArray("\"9600,\"\r\n\"N,\r\n\"8,\"\r\n\"1\"\r\n1\r\n") << "campo 2 le falta la comilla de cierre";
        QTest::newRow("closing quote missing at the end") << QByteArray("\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n\"1") << "campo 5";
    }
    void damagedFilesAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QString why;
        QVERIFY(!settingsfile::parse(bytes, &why));
        QVERIFY2(why.contains(reason), qPrintable(why));
    }

    // --- save and load on disk -----------------------------------------------------------

    void saveIntoAMissingFolderNamesIt()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/setup/serphcn.cmm");
        try {
            settingsfile::save(path, k9600N81);
            QFAIL("saved into a missing folder");
        } catch (const PlatformError &e) {
            QVERIFY2(e.message().contains(dir.path() + QStringLiteral("/setup")), qPrintable(e.message()));
        }
        QVERIFY(!QDir(dir.path() + QStringLiteral("/setup")).exists()); // never created
    }

    void saveOverAReadOnlyFileLeavesItIntact()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/serphcn.cmm");
        writeFile(path, "old");
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
        QVERIFY_THROWS_EXCEPTION(PlatformError, settingsfile::save(path, k9600N81));
        QCOMPARE(readAll(path), QByteArray("old"));
    }

    void loadRefusesWhatIsNoSettingsFile()
    {
        QTemporaryDir dir;
        const QString missing = dir.path() + QStringLiteral("/none.cmm");
        const QString folder = dir.path() + QStringLiteral("/folder.cmm");
        QDir().mkdir(folder);
        const QString huge = dir.path() + QStringLiteral("/huge.cmm");
        writeFile(huge, QByteArray(10 * 1024 * 1024, 'x'));
        for (const QString &path : {missing, folder, huge}) {
            try {
                settingsfile::load(path);
                QFAIL(qPrintable(path));
            } catch (const PlatformError &e) {
                QVERIFY2(e.message().contains(path), qPrintable(e.message()));
            }
        }
    }

    void loadReadsOnlyAPrefixOfALongFile()
    {
        QTemporaryDir dir;
        const QString good = dir.path() + QStringLiteral("/good.cmm");
        writeFile(good, settingsfile::serialize(k9600N81) + QByteArray(10 * 1024 * 1024, '\xff'));
        QCOMPARE(settingsfile::load(good), k9600N81);
        // A fifth field cut by the prefix could read as another number: refused, not guessed.
        const QString cut = dir.path() + QStringLiteral("/cut.cmm");
        writeFile(cut, "\"\"\r\n\"\"\r\n\"\"\r\n\"\"\r\n" + QByteArray(settingsfile::kReadPrefix, '1'));
        QVERIFY_THROWS_EXCEPTION(PlatformError, settingsfile::load(cut));
    }

    void saveThatFailsToWriteKeepsTheOldFileAndSaysSo()
    {
        // A file-size limit makes the kernel refuse the write, as a full disk would.
        Fixture f;
        const QByteArray old = settingsfile::serialize({"1200,", "E,", "7,", "2", 2});
        writeFile(f.path(), old);
        f.window.show();
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1"})
            f.click(b);
        {
            FileSizeLimit limit(10);
            QVERIFY(limit.isValid());
            f.click("guardar1");
        }
        QCOMPARE(f.reporter.informations.size(), 1);
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY2(f.reporter.failures[0].contains(f.path()), qPrintable(f.reporter.failures[0]));
        QVERIFY2(f.reporter.failures[0].contains(QStringLiteral("tamaño máximo")), qPrintable(f.reporter.failures[0]));
        QCOMPARE(readAll(f.path()), old);
        QCOMPARE(QDir(f.dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("serphcn.cmm")}); // no leftovers
    }

    void loadRefusesWhatWouldBlock_data()
    {
        QTest::addColumn<bool>("fifo");
        QTest::newRow("FIFO with no writer") << true;
        QTest::newRow("link to a terminal") << false;
    }
    void loadRefusesWhatWouldBlock()
    {
        QFETCH(bool, fifo);
        Fixture f;
        Pty pty;
        if (fifo)
            QVERIFY(::mkfifo(QFile::encodeName(f.path()).constData(), 0644) == 0);
        else
            QVERIFY(QFile::link(pty.slavePath(), f.path()));
        f.window.show();
        f.click("Cargar"); // would never return if it opened the file for reading
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY2(f.reporter.failures[0].contains(fifo ? QStringLiteral("FIFO") : QStringLiteral("dispositivo")),
                 qPrintable(f.reporter.failures[0]));
        QCOMPARE(f.k.cadenaconf, QString());
    }

    void readOnlyMeansWhatThisUserMayDo_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("saved");
        QTest::newRow("nobody may write") << 0444 << false;
        QTest::newRow("owner may write") << 0644 << true;
        if (::geteuid() == 0)
            QTest::newRow("only the group may write") << 0464 << true;
    }
    void readOnlyMeansWhatThisUserMayDo()
    {
        QFETCH(int, mode);
        QFETCH(bool, saved);
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.path() + QStringLiteral("/serphcn.cmm"));
        writeFile(QFile::decodeName(path), "old");
        QVERIFY(::chmod(path.constData(), mode_t(mode)) == 0);
        bool threw = false;
        try {
            settingsfile::save(path, k9600N81);
        } catch (const PlatformError &e) {
            threw = e.message().contains(QStringLiteral("solo lectura"));
        }
        QCOMPARE(threw, !saved);
        QCOMPARE(readAll(QFile::decodeName(path)) == "old", !saved);
    }

    void fileOfAnotherUserIsReadOnlyEvenWithOwnerWriteBit()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user");
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
        const QByteArray path = QFile::encodeName(dir.path() + QStringLiteral("/serphcn.cmm"));
        writeFile(QFile::decodeName(path), "old");
        QVERIFY(::chmod(path.constData(), 0644) == 0); // root's, writable by root only
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(3);
            try {
                settingsfile::save(path, k9600N81);
                ::_exit(1);
            } catch (const PlatformError &e) {
                ::_exit(e.message().contains(QStringLiteral("solo lectura")) ? 0 : 2);
            }
        }
        int status = 0;
        QVERIFY(::waitpid(child, &status, 0) == child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(readAll(QFile::decodeName(path)), QByteArray("old"));
    }

    void homeFolderThatIsNotUtf8IsUsedAsTheSystemNamesIt()
    {
        QTemporaryDir dir;
        const QByteArray home = QFile::encodeName(dir.path()) + "/caf\xe9";
        QVERIFY(::mkdir(home.constData(), 0755) == 0);
        QVERIFY(::mkdir((home + "/picproy").constData(), 0755) == 0);
        QVERIFY(::mkdir((home + "/picproy/setup").constData(), 0755) == 0);
        const auto cleanUp = qScopeGuard([&] { // QTemporaryDir cannot name what is not UTF-8
            ::unlink((home + "/picproy/setup/serphcn.cmm").constData());
            ::rmdir((home + "/picproy/setup").constData());
            ::rmdir((home + "/picproy").constData());
            ::rmdir(home.constData());
        });
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("HOME", home);
        const QByteArray path = settingsfile::defaultPath();
        qputenv("HOME", savedHome);
        QCOMPARE(path, home + "/picproy/setup/serphcn.cmm");
        settingsfile::save(path, k9600N81);
        QCOMPARE(settingsfile::load(path), k9600N81);
        try {
            settingsfile::load(home + "/none.cmm");
            QFAIL("loaded a missing file");
        } catch (const PlatformError &e) {
            QVERIFY2(e.message().contains(QStringLiteral("caf\\xe9/none.cmm")), qPrintable(e.message()));
        }
    }

    // --- window --------------------------------------------------------------------------

    void windowHasItsGroupsCaptionsAndFocus()
    {
        Fixture f;
        QCOMPARE(f.window.windowTitle(), QStringLiteral("phcomm"));
        QCOMPARE(f.window.size(), QSize(twips::px(6255), twips::px(5310)));
        // Written out here, not taken from the table the window is built from, so that a wrong
        // number there shows.
        struct Expect
        {
            const char *name;
            const char *caption;
            const char *frame; ///< the group box it sits in; nullptr: the window itself
            int l, t, wd, h;
        };
        const Expect expected[] = {
            {"Frame1", "puerto", nullptr, 0, 0, 1815, 1335},
            {"Frame2", "paridad", nullptr, 0, 1560, 1815, 1575},
            {"Frame5", "baud rate", nullptr, 2160, 120, 1695, 2895},
            {"Frame3", "bits de dato", nullptr, 4320, 120, 1455, 1455},
            {"Frame4", "bits de stop", nullptr, 4320, 1920, 1455, 1815},
            {"pto3f8", "COM1", "Frame1", 360, 240, 1095, 375},
            {"pto2f8", "COM2", "Frame1", 360, 840, 975, 375},
            {"ppar", "par", "Frame2", 240, 240, 975, 255},
            {"pimpar", "impar", "Frame2", 240, 600, 975, 255},
            {"pnopar", "no paridad", "Frame2", 240, 960, 975, 375},
            {"br300", "300", "Frame5", 240, 360, 1335, 495},
            {"br1200", "1200", "Frame5", 240, 840, 1215, 495},
            {"br2400", "2400", "Frame5", 240, 1320, 1095, 495},
            {"br4800", "4800", "Frame5", 240, 1920, 1095, 375},
            {"br9600", "9600", "Frame5", 240, 2400, 1095, 375},
            {"bd7", "7 bits", "Frame3", 240, 360, 1095, 375},
            {"bd8", "8 bits", "Frame3", 240, 840, 975, 375},
            {"bs1", "1bit", "Frame4", 240, 480, 855, 375},
            {"bs2", "2bits", "Frame4", 240, 1200, 975, 375},
            {"guardar1", "Guardarserie", nullptr, 960, 3240, 1215, 495},
            {"Configserie", "Confserie", nullptr, 2520, 3360, 1215, 495},
            {"Cargar", "Cargar", nullptr, 960, 3840, 1215, 495},
            {"cerrar", "Cerrar", nullptr, 2640, 3960, 1215, 375},
        };
        for (const auto &e : expected) {
            auto *c = f.window.findChild<QWidget *>(QString::fromLatin1(e.name));
            QVERIFY2(c, e.name);
            QCOMPARE(c->parentWidget()->objectName(), QString::fromLatin1(e.frame ? e.frame : "frmcomm1"));
            QCOMPARE(c->geometry(), twips::rect(e.l, e.t, e.wd, e.h));
            auto *box = qobject_cast<QGroupBox *>(c);
            auto *button = qobject_cast<QAbstractButton *>(c);
            QVERIFY2(box || button, e.name);
            QCOMPARE(box ? box->title() : button->text(), QString::fromUtf8(e.caption));
        }
        QCOMPARE(f.checked(), QStringList());
        f.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&f.window));
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Cargar"));
    }

    void optionGroupsAreExclusivePerFrameAndLastClickWins()
    {
        Fixture f;
        f.window.show();
        f.click("pimpar");
        f.click("pnopar");
        f.click("br300");
        f.click("bd7");
        f.click("bs2");
        QCOMPARE(f.checked(), (QStringList{"pnopar", "br300", "bd7", "bs2"}));
        QCOMPARE(f.k.paridad, QStringLiteral("N,"));
        QCOMPARE(f.window.velocidad(), QStringLiteral("300,"));
        QCOMPARE(f.k.bitsdatos, QStringLiteral("7,"));
        QCOMPARE(f.k.bitsparada, QStringLiteral("2"));
        // Choosing is not applying.
        QCOMPARE(f.k.cadenaconf, QString());
        QCOMPARE(f.main.settings()->text(), QString());
    }

    void portButtonsSwitchTheControlAtOnce()
    {
        Fixture f;
        f.window.show();
        f.click("pto2f8");
        QCOMPARE(f.k.numpuerto, qint16(2));
        QCOMPARE(testComm(f.acquisition).CommPort(), qint16(2));
        f.click("pto3f8");
        QCOMPARE(f.k.numpuerto, qint16(1));
        QCOMPARE(testComm(f.acquisition).CommPort(), qint16(1));
    }

    void portButtonRefusedWhileOpenKeepsTheNewNumberAndReports()
    {
        Fixture f;
        Pty pty;
        testComm(f.acquisition).setDevice(1, pty.slavePath());
        f.window.show();
        f.applyFullChoice();
        QVERIFY(testComm(f.acquisition).PortOpen());
        QVERIFY(f.reporter.failures.isEmpty());
        f.click("pto2f8");
        QCOMPARE(f.k.numpuerto, qint16(2));
        QCOMPARE(testComm(f.acquisition).CommPort(), qint16(1));
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY(f.reporter.failures[0].contains(QStringLiteral("COM2")));
    }

    void applyOpensOnceAndSwitchesReceptionOn()
    {
        Fixture f;
        Pty pty;
        testComm(f.acquisition).setDevice(1, pty.slavePath());
        f.window.show();
        f.applyFullChoice();
        QVERIFY(f.reporter.failures.isEmpty());
        QVERIFY(testComm(f.acquisition).PortOpen());
        QCOMPARE(f.k.cadenaconf, QStringLiteral("9600,N,8,1"));
        QCOMPARE(testComm(f.acquisition).Settings(), QStringLiteral("9600,N,8,1"));
        QCOMPARE(testComm(f.acquisition).RThreshold(), qint16(1));

        f.main.STOP_Click();
        f.click("bs2");
        f.click("Configserie"); // second apply: no reopen, new settings, reception back on
        QVERIFY(f.reporter.failures.isEmpty());
        QCOMPARE(testComm(f.acquisition).Settings(), QStringLiteral("9600,N,8,2"));
        QCOMPARE(testComm(f.acquisition).RThreshold(), qint16(1));
    }

    void applySwitchesToTheLoadedPortBeforeOpening()
    {
        Fixture f;
        Pty pty;
        testComm(f.acquisition).setDevice(2, pty.slavePath());
        writeFile(f.path(), settingsfile::serialize({"9600,", "N,", "8,", "1", 2}));
        f.window.show();
        f.click("Cargar");
        QCOMPARE(testComm(f.acquisition).CommPort(), qint16(1)); // loading selects, it does not switch
        f.click("Configserie");
        QVERIFY2(f.reporter.failures.isEmpty(), qPrintable(f.reporter.failures.join('\n')));
        QCOMPARE(testComm(f.acquisition).CommPort(), qint16(2));
        QVERIFY(testComm(f.acquisition).PortOpen());
    }

    void refusedSettingsLeaveTheLabelWithWhatIsInForce_data()
    {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("nothing chosen") << QStringList{"Configserie"} << QByteArray();
        QTest::newRow("only the port chosen") << QStringList{"pto3f8", "Configserie"} << QByteArray();
        QTest::newRow("impossible baud rate from the file")
            << QStringList{"Cargar", "Configserie"} << QByteArray("\"99999999999999999999999,\"\r\n\"E,\"\r\n\"7,\"\r\n\"2\"\r\n1\r\n");
        QTest::newRow("7 data bits, which a pseudo-terminal refuses")
            << QStringList{"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie", "br4800", "ppar", "bd7", "bs2", "Configserie"}
            << QByteArray();
        QTest::newRow("refused by the device at the first opening")
            << QStringList{"pto3f8", "br4800", "ppar", "bd7", "bs2", "Configserie"} << QByteArray();
    }
    void refusedSettingsLeaveTheLabelWithWhatIsInForce()
    {
        QFETCH(QStringList, clicks);
        QFETCH(QByteArray, file);
        Fixture f;
        Pty pty;
        if (!file.isEmpty())
            writeFile(f.path(), file);
        testComm(f.acquisition).setDevice(1, pty.slavePath());
        f.window.show();
        for (const QString &c : clicks)
            f.click(qPrintable(c));
        QVERIFY(testComm(f.acquisition).PortOpen());
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY2(f.reporter.failures[0].contains(QStringLiteral("sigue abierto con 9600,N,8,1.")), qPrintable(f.reporter.failures[0]));
        QCOMPARE(testComm(f.acquisition).Settings(), QStringLiteral("9600,N,8,1"));
        f.click("cerrar");
        QCOMPARE(f.main.settings()->text(), QStringLiteral("9600,N,8,1Puerto Abierto"));
    }

    void cerrarSaysWhetherThePortIsOpen()
    {
        Fixture f;
        testComm(f.acquisition).setDevice(1, QStringLiteral("/dev/no-such-port"));
        f.window.show();
        for (const char *b : {"br9600", "pnopar", "bd8", "bs1", "Configserie"})
            f.click(b);
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY(f.reporter.failures[0].contains(QStringLiteral("/dev/no-such-port")));
        QCOMPARE(f.k.cadenaconf, QString()); // the step stopped before composing
        f.main.Framdis()->hide();
        f.click("cerrar");
        QVERIFY(!f.window.isVisible());
        QVERIFY(f.main.Framdis()->isVisibleTo(&f.main));
        QCOMPARE(f.main.settings()->text(), QStringLiteral("Puerto Cerrado"));
    }

    void saveShowsTheBoxFirstAndWritesTheExactFile()
    {
        Fixture f;
        f.window.show();
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "guardar1"})
            f.click(b);
        QCOMPARE(f.reporter.informations, QStringList{QStringLiteral("Abriendo archivo serphcn.cmm")});
        QCOMPARE(readAll(f.path()).size(), 29);
        QCOMPARE(readAll(f.path()), settingsfile::serialize(k9600N81));
    }

    void failedSaveIsReportedAfterTheBox()
    {
        QTemporaryDir dir;
        Acquisition acquisition;
        RecordingReporter reporter;
        frmdispVanto main(acquisition, reporter);
        frmcomm1 window(acquisition, main, reporter, QFile::encodeName(dir.path() + QStringLiteral("/missing/serphcn.cmm")));
        QVERIFY_THROWS_EXCEPTION(PlatformError, window.guardar1_Click());
        QCOMPARE(reporter.informations, QStringList{QStringLiteral("Abriendo archivo serphcn.cmm")});
    }

    void saveThenLoadRestoresEverything()
    {
        Fixture f;
        f.window.show();
        for (const char *b : {"pto2f8", "br1200", "ppar", "bd7", "bs2", "guardar1"})
            f.click(b);
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1"})
            f.click(b);
        f.click("Cargar");
        QVERIFY(f.reporter.failures.isEmpty());
        QCOMPARE(serialsettings::fromRecord(f.k, f.window.velocidad()), (Pieces{"1200,", "E,", "7,", "2", 2}));
        QCOMPARE(f.k.cadenaconf, QStringLiteral("1200,E,7,2"));
        QCOMPARE(f.checked(), (QStringList{"pto2f8", "ppar", "br1200", "bd7", "bs2"}));
    }

    void loadingAnEmptySaveSelectsNothing()
    {
        Fixture f;
        writeFile(f.path(), settingsfile::serialize({}));
        f.window.show();
        f.click("Cargar");
        QCOMPARE(f.checked(), QStringList());
        QCOMPARE(f.k.cadenaconf, QString());
        QCOMPARE(f.k.numpuerto, qint16(0));
    }

    void damagedOrMissingFileChangesNothing_data()
    {
        enum Kind { Missing, File, Directory };
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("kind");
        QTest::newRow("missing") << QByteArray() << int(Missing);
        QTest::newRow("empty") << QByteArray() << int(File);
        QTest::newRow("a folder in its place") << QByteArray() << int(Directory);
        QTest::newRow("short") << QByteArray("\"300,\"\r\n\"E,\"\r\n") << int(File);
        QTest::newRow("garbage fifth") << QByteArray("\"300,\"\r\n\"E,\"\r\n\"7,\"\r\n\"2\"\r\nxx\r\n") << int(File);
        QTest::newRow("fifth out of range") << QByteArray("\"300,\"\r\n\"E,\"\r\n\"7,\"\r\n\"2\"\r\n99999\r\n") << int(File);
        QTest::newRow("non-ASCII bytes") << QByteArray("\"300,\"\r\n\"\xc9,\"\r\n\"7,\"\r\n\"2\"\r\n1\r\n") << int(File);
        QByteArray garbage(10 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 2654435761u) >> 13);
        QTest::newRow("10 MB of garbage") << garbage << int(File);
    }
    void damagedOrMissingFileChangesNothing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, kind);
        Fixture f;
        if (kind == 1)
            writeFile(f.path(), bytes);
        else if (kind == 2)
            QVERIFY(QDir().mkdir(f.path()));
        f.window.show();
        f.applyFullChoice();
        f.reporter.failures.clear();
        auto *guardar = f.window.findChild<QPushButton *>("guardar1");
        guardar->setEnabled(false);
        f.click("Cargar");
        QVERIFY(guardar->isEnabled());
        QCOMPARE(f.reporter.failures.size(), 1);
        QVERIFY2(f.reporter.failures[0].contains(f.path()), qPrintable(f.reporter.failures[0]));
        QCOMPARE(serialsettings::fromRecord(f.k, f.window.velocidad()), k9600N81);
        QCOMPARE(f.checked(), (QStringList{"pto3f8", "pnopar", "br9600", "bd8", "bs1"}));
    }

    void closingFromTheTitleBarHidesAndKeepsSelections()
    {
        Fixture f;
        f.window.show();
        f.click("br4800");
        f.window.close();
        QVERIFY(!f.window.isVisible());
        f.window.show();
        QCOMPARE(f.checked(), QStringList{"br4800"});
        QCOMPARE(f.window.velocidad(), QStringLiteral("4800,"));
    }
};

QTEST_MAIN(TestSerialConfig)
#include "test_serialconfig.moc"
