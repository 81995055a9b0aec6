// Recording a run, end to end: the simulated board on a pseudo-terminal, the program or the
// logger recording, and the files read back as a user would read them.

#include "frmcomm1.h"
#include "frmdispvanto.h"
#include "program.h"
#include "recorder.h"
#include "testpty.h"
#include "waveform.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Csv
{
    QStringList comments;
    QList<qint64> numbers;
    QList<int> values;
    QList<double> times;
    QStringList damaged; ///< lines that are neither a comment nor a well-formed row
    bool endsWithLineEnd = false;
};

Csv readCsv(const QString &path)
{
    Csv c;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return c;
    const QByteArray all = f.readAll();
    c.endsWithLineEnd = all.endsWith("\r\n");
    bool header = false;
    for (const QByteArray &line : all.split('\n')) {
        if (line.isEmpty())
            continue;
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        if (l.startsWith('#')) {
            c.comments << QString::fromUtf8(l);
        } else if (!header) {
            header = l == "muestra,tiempo_s,valor";
            if (!header)
                c.damaged << QString::fromUtf8(l);
        } else {
            const QList<QByteArray> cells = l.split(',');
            bool ok1 = false, ok2 = false, ok3 = false;
            if (cells.size() == 3) {
                c.numbers << cells[0].toLongLong(&ok1);
                c.times << cells[1].toDouble(&ok2);
                c.values << cells[2].toInt(&ok3);
            }
            if (!(ok1 && ok2 && ok3))
                c.damaged << QString::fromUtf8(l);
        }
    }
    return c;
}

QByteArray boardBytes(qint64 first, qint64 count)
{
    QByteArray out;
    for (qint64 i = first; i < first + count; ++i) {
        const quint16 v = boardsim::sampleAt(quint64(i));
        out.append(char(v & 0xff)).append(char(v >> 8));
    }
    return out;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// The simulated board, started for one test.
struct Board
{
    QProcess process;
    QString path;
    explicit Board(const QStringList &args)
    {
        process.start(QStringLiteral(BOARDSIM_BINARY), args);
        if (process.waitForReadyRead(10000))
            path = QString::fromLocal8Bit(process.readLine().trimmed());
    }
    ~Board()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
};

/// The logger, as a user runs it, with no display.
int runLogger(const QStringList &args, QString *errors = nullptr, const QString &shellPrefix = QString())
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")); // a window would abort it
    p.setProcessEnvironment(env);
    if (shellPrefix.isEmpty()) {
        p.start(QStringLiteral(DISPVANTO_BINARY), QStringList{QStringLiteral("--sin-ventanas")} + args);
    } else {
        QStringList quoted;
        for (const QString &a : args)
            quoted << QStringLiteral("'%1'").arg(a);
        p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellPrefix + QStringLiteral("; exec '%1' --sin-ventanas %2")
                                                                                   .arg(QStringLiteral(DISPVANTO_BINARY), quoted.join(u' '))});
    }
    p.waitForFinished(60000);
    if (errors)
        *errors = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QList<int> boardValues(qint64 first, qint64 count)
{
    QList<int> v;
    for (qint64 i = first; i < first + count; ++i)
        v << boardsim::sampleAt(quint64(i));
    return v;
}

QList<qint64> numbered(qint64 count)
{
    QList<qint64> n;
    for (qint64 i = 0; i < count; ++i)
        n << i;
    return n;
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT
private slots:
    void loggerRecordsEverySampleAndEveryByte()
    {
        constexpr qint64 n = 200000;
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("run.csv")), raw = dir.filePath(QStringLiteral("run.bin"));
        Board board({QStringLiteral("--flat"), QStringLiteral("--count"), QString::number(n), QStringLiteral("--linger"), QStringLiteral("5")});
        QVERIFY(!board.path.isEmpty());
        QString errors;
        QCOMPARE(runLogger({"--com1", board.path, "--config", "9600,N,8,1", "--registro", csv, "--crudo", raw,
                            "--muestras", QString::number(n)}, &errors), 0);
        QVERIFY2(errors.contains(QStringLiteral("%1 muestras grabadas").arg(n)), qPrintable(errors));
        const Csv c = readCsv(csv);
        QVERIFY2(c.damaged.isEmpty(), qPrintable(c.damaged.mid(0, 3).join(u'\n')));
        QCOMPARE(c.numbers, numbered(n));
        QCOMPARE(c.values, boardValues(0, n));
        QVERIFY(std::is_sorted(c.times.begin(), c.times.end()));
        QVERIFY2(c.comments.join(u'\n').contains(QStringLiteral("# configuración: 9600,N,8,1")), qPrintable(c.comments.join(u'\n')));
        QVERIFY(c.comments.join(u'\n').contains(board.path));
        QCOMPARE(readAll(raw), boardBytes(0, n));

        // Played back from the raw recording, the run gives the same samples.
        const QString again = dir.filePath(QStringLiteral("again.csv"));
        Board replay({QStringLiteral("--flat"), QStringLiteral("--archivo"), raw, QStringLiteral("--linger"), QStringLiteral("5")});
        QCOMPARE(runLogger({"--com1", replay.path, "--config", "9600,N,8,1", "--registro", again, "--muestras", QString::number(n)}), 0);
        const Csv d = readCsv(again);
        QCOMPARE(d.numbers, c.numbers);
        QCOMPARE(d.values, c.values);
    }

    void existingFileIsNeverOverwritten()
    {
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("kept.csv"));
        QFile f(csv);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("valioso");
        f.close();
        Pty pty;
        QString errors;
        QVERIFY(runLogger({"--com1", pty.slavePath(), "--config", "9600,N,8,1", "--registro", csv}, &errors) != 0);
        QVERIFY2(errors.contains(csv) && errors.contains(QStringLiteral("ya existe")), qPrintable(errors));
        QCOMPARE(readAll(csv), QByteArray("valioso"));
    }

    void loggerThatCannotWriteSaysSoAndFails()
    {
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("small.csv"));
        Board board({QStringLiteral("--flat"), QStringLiteral("--count"), QStringLiteral("200000"), QStringLiteral("--linger"), QStringLiteral("5")});
        QString errors;
        // ulimit -f counts blocks of 1024 bytes: the file may not pass 64 KiB.
        const int status = runLogger({"--com1", board.path, "--config", "9600,N,8,1", "--registro", csv, "--muestras", "200000"},
                                     &errors, QStringLiteral("ulimit -f 64"));
        QVERIFY2(status != 0, qPrintable(errors));
        QVERIFY2(errors.contains(csv) && errors.contains(QStringLiteral("tamaño máximo")), qPrintable(errors));
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QVERIFY(!c.values.isEmpty());
        QCOMPARE(c.values, boardValues(0, c.values.size()));
    }

    void outputIntoAPipeNobodyReadsCostsNothing()
    {
        constexpr qint64 n = 20000;
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("piped.csv"));
        Board board({QStringLiteral("--flat"), QStringLiteral("--count"), QString::number(n), QStringLiteral("--linger"), QStringLiteral("5")});
        QVERIFY(!board.path.isEmpty());
        // As with "dispvanto … 2>&1 | head" once head has gone: every message meets a closed pipe.
        int fds[2] = {-1, -1};
        QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
        ::close(fds[0]);
        QProcess logger;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        logger.setProcessEnvironment(env);
        logger.setChildProcessModifier([w = fds[1]] {
            ::dup2(w, STDOUT_FILENO);
            ::dup2(w, STDERR_FILENO);
        });
        logger.start(QStringLiteral(DISPVANTO_BINARY), {"--sin-ventanas", "--com1", board.path, "--config", "9600,N,8,1",
                                                        "--registro", csv, "--muestras", QString::number(n)});
        const bool finished = logger.waitForFinished(60000);
        ::close(fds[1]);
        QVERIFY(finished);
        QCOMPARE(logger.exitStatus(), QProcess::NormalExit);
        QCOMPARE(logger.exitCode(), 0);
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QCOMPARE(c.numbers, numbered(n));
        QCOMPARE(c.values, boardValues(0, n));
    }

    void sigtermDuringAFloodLeavesAWellFormedFile()
    {
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("flood.csv"));
        Board board({QStringLiteral("--flat")});
        QProcess logger;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        logger.setProcessEnvironment(env);
        logger.start(QStringLiteral(DISPVANTO_BINARY), {"--sin-ventanas", "--com1", board.path, "--config", "9600,N,8,1", "--registro", csv});
        QVERIFY(logger.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(csv).size() > 4 * 1024 * 1024, 30000); // well into the flood
        ::kill(pid_t(logger.processId()), SIGTERM);
        QVERIFY(logger.waitForFinished(20000));
        QCOMPARE(logger.exitStatus(), QProcess::NormalExit);
        QCOMPARE(logger.exitCode(), 0);
        const Csv c = readCsv(csv);
        QVERIFY(c.endsWithLineEnd);
        QVERIFY2(c.damaged.isEmpty(), qPrintable(c.damaged.mid(0, 3).join(u'\n')));
        QVERIFY(c.numbers.size() > 100000);
        QCOMPARE(c.numbers, numbered(c.numbers.size()));
        QCOMPARE(c.values, boardValues(0, c.values.size()));
    }

    void windowedRecordingFollowsDecodingAcrossStopAndALostDevice()
    {
        QTemporaryDir dir;
        RecordingReporter reporter;
        const QString csv = dir.filePath(QStringLiteral("w.csv")), raw = dir.filePath(QStringLiteral("w.bin"));
        QByteArray sent;
        {
            Program program(&reporter, dir.filePath(QStringLiteral("serphcn.cmm")));
            frmdispVanto &main = program.mainWindow();
            main.setExitFunction([] {});
            const QString link = dir.filePath(QStringLiteral("ttyLAB"));
            auto first = std::make_unique<Pty>();
            QVERIFY(QFile::link(first->slavePath(), link));
            main.MSComm1()->setDevice(1, link);
            program.record(QFile::encodeName(csv), QFile::encodeName(raw));
            main.puertos_Click();
            for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie"})
                main.puertosWindow()->findChild<QAbstractButton *>(QString::fromLatin1(b))->click();

            sent += boardBytes(0, 500);
            QVERIFY(first->write(boardBytes(0, 500)));
            QTRY_COMPARE(program.recorder()->samplesRecorded(), quint64(500));
            main.STOP_Click();
            sent += boardBytes(500, 300);
            QVERIFY(first->write(boardBytes(500, 300)));
            QTRY_COMPARE(main.MSComm1()->InBufferCount(), qsizetype(600));
            QCOMPARE(program.recorder()->samplesRecorded(), quint64(500)); // recorded when decoded, not before
            main.continuar_Click();
            QTRY_COMPARE(program.recorder()->samplesRecorded(), quint64(800));

            sent += QByteArray(1, '\x42');
            QVERIFY(first->write(QByteArray(1, '\x42'))); // half a sample, cut off by the loss
            QTRY_COMPARE(program.acquisition().decoder().state().fase, qint16(1));
            first.reset();
            QTRY_COMPARE(reporter.failures.size(), 1);
            Pty second;
            QVERIFY(QFile::remove(link));
            QVERIFY(QFile::link(second.slavePath(), link));
            main.puertosWindow()->findChild<QAbstractButton *>(QStringLiteral("Configserie"))->click();
            sent += boardBytes(800, 200);
            QVERIFY(second.write(boardBytes(800, 200)));
            QTRY_COMPARE(program.recorder()->samplesRecorded(), quint64(1000));
            QTRY_COMPARE(main.Text1()->text(), QStringLiteral(" %1").arg(boardsim::sampleAt(999)));
        } // closing the program writes everything out
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QCOMPARE(c.numbers, numbered(1000));
        QCOMPARE(c.values, boardValues(0, 1000));
        const QStringList markers = c.comments.filter(QStringLiteral("tras la muestra 799"));
        QCOMPARE(markers.size(), 1);
        QVERIFY2(markers[0].contains(QStringLiteral("se volvió a abrir")) && markers[0].contains(QStringLiteral("1 byte")),
                 qPrintable(markers[0]));
        QCOMPARE(readAll(raw), sent);
    }

    void failedWriteStopsRecordingButNotReception()
    {
        QTemporaryDir dir;
        RecordingReporter reporter;
        const QString csv = dir.filePath(QStringLiteral("limited.csv"));
        Program program(&reporter, dir.filePath(QStringLiteral("serphcn.cmm")));
        frmdispVanto &main = program.mainWindow();
        main.setExitFunction([] {});
        Pty pty;
        main.MSComm1()->setDevice(1, pty.slavePath());
        program.record(QFile::encodeName(csv), {});
        main.puertos_Click();
        for (const char *b : {"pto3f8", "br9600", "pnopar", "bd8", "bs1", "Configserie"})
            main.puertosWindow()->findChild<QAbstractButton *>(QString::fromLatin1(b))->click();

        {
            // A file-size limit makes the kernel refuse the write, as a full disk would.
            FileSizeLimit limit(64 * 1024);
            QVERIFY(limit.isValid());
            pty.writeInBackground(boardBytes(0, 20000));
            QTRY_VERIFY_WITH_TIMEOUT(program.recorder()->samplesRecorded() >= 20000 || program.recorder()->failedToWrite(), 20000);
            program.recorder()->flush();
        }
        QVERIFY(program.recorder()->failedToWrite());
        QCOMPARE(reporter.failures.size(), 1);
        QVERIFY2(reporter.failures[0].contains(csv) && reporter.failures[0].contains(QStringLiteral("tamaño máximo")),
                 qPrintable(reporter.failures[0]));

        // What was written stays readable, and reception goes on.
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QVERIFY(c.endsWithLineEnd);
        QVERIFY(!c.numbers.isEmpty());
        QCOMPARE(c.values, boardValues(0, c.values.size()));
        QVERIFY(pty.write(boardBytes(20000, 1)));
        QTRY_COMPARE(main.Text1()->text(), QStringLiteral(" %1").arg(boardsim::sampleAt(20000)));
        QCOMPARE(reporter.failures.size(), 1);
    }
};

QTEST_MAIN(TestRecording)
#include "test_recording.moc"
