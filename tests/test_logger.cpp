// The logger without windows, end to end: the simulated board, the real program run as a user
// runs it, and the files read back as a user would read them.

#include "recorder.h"
#include "recordingsupport.h"
#include "testpty.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

/// Whether the process has this device open (its descriptors, as the system lists them).
bool holdsOpen(qint64 pid, const QString &device)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    const QString target = QFileInfo(device).canonicalFilePath();
    const QStringList entries = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
    return std::any_of(entries.begin(), entries.end(),
                       [&](const QString &fd) { return QFileInfo(fds.filePath(fd)).canonicalFilePath() == target; });
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT
private slots:
    void rowsKeepTheSourcesNumbersAcrossAGap()
    {
        // A remote bench's samples 10 to 14 never came: the rows after the gap keep the bench's
        // numbers, the gap is a comment line, and --muestras counts by number.
        struct Bench : SampleSource
        {
            void send(quint64 index) { emitSample({index, quint16(100 + index), qint64(index) * 1000000, 2 * qint64(index + 1)}); }
            void gap(quint64 first, quint64 count)
            {
                emitEvent({StreamEvent::Kind::Missing, 2 * qint64(first), 2 * qint64(count), {}, QDateTime::currentDateTime()});
            }
        } bench;
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("r.csv"));
        Recorder recorder(QFile::encodeName(csv), {});
        recorder.setSampleLimit(18);
        QSignalSpy reached(&recorder, &Recorder::limitReached);
        recorder.attach(bench, 0, 0, [] { return RecordingHeader{}; });
        for (quint64 i = 0; i < 10; ++i)
            bench.send(i);
        bench.gap(10, 5);
        for (quint64 i = 15; i < 25; ++i)
            bench.send(i);
        QCOMPARE(reached.size(), 1);
        QVERIFY(recorder.finish());
        const Csv c = readCsv(csv);
        QCOMPARE(c.numbers, (QList<qint64>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17}));
        QCOMPARE(c.values, (QList<int>{100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 115, 116, 117}));
        QCOMPARE(c.comments.filter(QStringLiteral("tras la muestra 9): faltan 5 muestras (10 a 14)")).size(), 1);
    }

    void rotatedPartsJoinIntoTheRecordingUnrotated_data()
    {
        QTest::addColumn<bool>("remote");
        QTest::addColumn<QString>("every");
        QTest::addColumn<int>("ahead"); // bytes received ahead of decoding
        // A port's bytes come ahead of their samples, in blocks that cut samples in two; a remote
        // bench's come a batch at a time, with a gap.
        QTest::newRow("port, by size") << false << "2kB" << 74;
        QTest::newRow("port, by time") << false << "1s" << 74;
        QTest::newRow("port, by size, every byte received before decoding") << false << "1kB" << (1 << 20);
        QTest::newRow("remote bench, by time") << true << "1s" << 0;
    }
    void rotatedPartsJoinIntoTheRecordingUnrotated()
    {
        // Two recorders of one stream, one of them in parts: the parts' bodies, joined, are the
        // other's body, notes included, and the raw parts joined are its raw file. Each part is a
        // complete file with the same start; a part moved away while the run goes on stays as it
        // was. Samples come 10 ms apart, with notes between them.
        QFETCH(bool, remote);
        QFETCH(QString, every);
        QFETCH(int, ahead);
        constexpr quint64 n = 900, limit = 880;
        struct Feed : SampleSource
        {
            using SampleSource::emitBytes;
            using SampleSource::emitEvent;
            using SampleSource::emitSample;
        } feed;
        QTemporaryDir dir;
        const QByteArray csv = QFile::encodeName(dir.filePath(QStringLiteral("uno.csv")));
        const QByteArray raw = QFile::encodeName(dir.filePath(QStringLiteral("uno.bin")));
        const QByteArray partsCsv = QFile::encodeName(dir.filePath(QStringLiteral("partes.csv")));
        const QByteArray partsRaw = QFile::encodeName(dir.filePath(QStringLiteral("partes.bin")));
        Recorder whole(csv, raw);
        Recorder parts(partsCsv, partsRaw, *Rotation::parse(every));
        for (Recorder *r : {&whole, &parts}) {
            r->setSampleLimit(limit); // reached with the port's next bytes already recorded
            r->attach(feed, 0, 0, [] { return RecordingHeader{QStringLiteral("placa"), QStringLiteral("9600,N,8,1"), {}}; });
        }
        const auto value = [](quint64 i) { return quint16(i * 7919 % 65536); };
        const auto bytesOf = [&](quint64 from, quint64 to) {
            QByteArray b;
            for (quint64 i = from; i < to; ++i)
                b.append(char(value(i) & 0xff)).append(char(value(i) >> 8));
            return b;
        };
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(1000);
        const auto sampleAt = [&](quint64 i, qint64 position) {
            if (i % 97 == 0) // a note where a part may end
                feed.emitEvent({StreamEvent::Kind::Lost, position - 2, 0, {}, when});
            feed.emitSample({i, value(i), qint64(i) * 10000000, position});
        };
        QString movedAway;
        int turns = 0;
        const auto between = [&] {
            if (++turns % 5 == 0) { // as the recorders' timers do
                whole.flush();
                parts.flush();
            }
            if (movedAway.isEmpty() && parts.part() == 2) {
                movedAway = dir.filePath(QStringLiteral("apartada.csv"));
                QVERIFY(QFile::rename(QFile::decodeName(Rotation::partPath(partsCsv, 1)), movedAway));
            }
        };
        if (remote) {
            for (quint64 first = 0; first < n; first += 64) {
                if (first == 320) { // never came: a gap
                    feed.emitEvent({StreamEvent::Kind::Missing, qint64(2 * first), 128, {}, when});
                    continue;
                }
                const quint64 end = qMin(n, first + 64);
                feed.emitBytes(bytesOf(first, end).constData(), qsizetype(2 * (end - first)), qint64(2 * first));
                for (quint64 i = first; i < end; ++i)
                    sampleAt(i, qint64(2 * (i + 1)));
                between();
            }
        } else {
            const QByteArray stream = bytesOf(0, n);
            constexpr qsizetype block = 37; // odd: samples cut in two
            qsizetype sent = 0;
            quint64 decoded = 0;
            while (decoded < n) {
                while (sent < stream.size() && sent < qsizetype(2 * decoded) + ahead) {
                    const qsizetype size = qMin(block, stream.size() - sent);
                    feed.emitBytes(stream.constData() + sent, size, sent);
                    sent += size;
                }
                for (const quint64 to = qMin<quint64>(n, decoded + block / 2); decoded < to; ++decoded)
                    sampleAt(decoded, qint64(2 * (decoded + 1)));
                between();
            }
        }
        QVERIFY(whole.finish());
        QVERIFY(parts.finish());
        QVERIFY2(parts.part() >= 3, qPrintable(QString::number(parts.part())));
        QVERIFY(!movedAway.isEmpty());

        const auto bodyOf = [](const QByteArray &file, QByteArray *start) {
            const QList<QByteArray> lines = file.split('\n');
            const qsizetype columns = lines.indexOf(QByteArray("muestra,tiempo_s,valor\r"));
            for (const QByteArray &line : lines.mid(0, columns))
                if (line.startsWith("# inicio: ") || line.startsWith("# parte: "))
                    *start += line;
            return lines.mid(columns + 1);
        };
        QByteArray wholeStart;
        const QList<QByteArray> wholeBody = bodyOf(readAll(QFile::decodeName(csv)), &wholeStart);
        QList<QByteArray> joinedBody;
        QByteArray joinedRaw;
        for (quint64 k = 1; k <= parts.part(); ++k) {
            const QString csvPart = k == 1 ? movedAway : QFile::decodeName(Rotation::partPath(partsCsv, k));
            QByteArray start;
            const QByteArray file = readAll(csvPart);
            QList<QByteArray> body = bodyOf(file, &start);
            if (every.endsWith(u'B') && k < parts.part()) // by size: full parts, not a sample each
                QVERIFY2(file.size() >= Rotation::parse(every)->bytes, qPrintable(csvPart));
            QCOMPARE(start, wholeStart + "# parte: " + QByteArray::number(k) + '\r');
            QVERIFY(body.last().isEmpty()); // ends with a line end
            body.removeLast();
            if (every == u"1s" && k > 1) { // parts start at whole seconds of tiempo_s: 100 samples each
                const auto row = std::find_if(body.begin(), body.end(), [](const QByteArray &l) { return !l.startsWith('#'); });
                QVERIFY(row != body.end());
                QCOMPARE(row->left(row->indexOf(',')).toULongLong(), (k - 1) * 100);
            }
            joinedBody += body;
            const QByteArray rawPart = readAll(QFile::decodeName(Rotation::partPath(partsRaw, k)));
            // Each raw part holds the bytes of its own samples.
            const auto rows = std::count_if(body.begin(), body.end(), [](const QByteArray &l) { return !l.startsWith('#'); });
            QCOMPARE(rawPart.size(), 2 * rows);
            joinedRaw += rawPart;
        }
        joinedBody += QByteArray();
        QCOMPARE(joinedBody, wholeBody);
        QCOMPARE(joinedRaw, readAll(QFile::decodeName(raw)));
        // The bytes of the samples recorded, no more: the limit falls inside a block or a batch.
        QCOMPARE(joinedRaw, remote ? bytesOf(0, 320) + bytesOf(384, limit) : bytesOf(0, limit));
        QCOMPARE(readCsv(QFile::decodeName(csv)).numbers.size(), qsizetype(remote ? limit - 64 : limit));
        QVERIFY2(parts.csvPath().endsWith(QStringLiteral("(%1 partes)").arg(parts.part())), qPrintable(parts.csvPath()));
    }

    void muestrasMeansSamplesInEveryFile_data()
    {
        QTest::addColumn<bool>("csv");
        QTest::newRow("raw file only") << false;
        QTest::newRow("CSV and raw file") << true;
    }
    void muestrasMeansSamplesInEveryFile()
    {
        // Against a board that keeps sending: the run ends at N samples, and the raw file holds
        // exactly their bytes.
        QFETCH(bool, csv);
        constexpr qint64 n = 1000;
        QTemporaryDir dir;
        const QString csvPath = dir.filePath(QStringLiteral("n.csv")), raw = dir.filePath(QStringLiteral("n.bin"));
        Board board({QStringLiteral("--flat")});
        QVERIFY(!board.path.isEmpty());
        QStringList args{"--com1", board.path, "--config", "9600,N,8,1", "--crudo", raw, "--muestras", QString::number(n)};
        if (csv)
            args << "--registro" << csvPath;
        QString errors;
        QCOMPARE(runLogger(args, &errors), 0);
        QCOMPARE(readAll(raw), boardBytes(0, n));
        QVERIFY2(errors.contains(QStringLiteral("%1 bytes (%2 muestras) grabados").arg(2 * n).arg(n)), qPrintable(errors));
        if (csv)
            QCOMPARE(readCsv(csvPath).values, boardValues(0, n));
    }

    void oneFileThatCannotBeWrittenKeepsTheOtherAndTheCountsAreTheFiles()
    {
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("small.csv")), raw = dir.filePath(QStringLiteral("small.bin"));
        constexpr qint64 n = 20000; // 40 000 raw bytes fit; their CSV rows do not
        Board board({QStringLiteral("--flat")});
        QString errors;
        // The test's shell counts ulimit -f in blocks of 512 bytes: no file may pass 64 KiB.
        const int status = runLogger({"--com1", board.path, "--config", "9600,N,8,1", "--registro", csv, "--crudo", raw,
                                      "--muestras", QString::number(n)}, &errors, QStringLiteral("ulimit -f 128"));
        QCOMPARE(status, 1);
        QVERIFY2(errors.contains(csv) && errors.contains(QStringLiteral("tamaño máximo")), qPrintable(errors));
        QVERIFY2(!errors.contains(QStringLiteral("recepción sigue")), qPrintable(errors));
        const Csv c = readCsv(csv);
        QVERIFY(c.damaged.isEmpty());
        QVERIFY(!c.values.isEmpty() && c.values.size() < n);
        QCOMPARE(c.values, boardValues(0, c.values.size()));
        QCOMPARE(readAll(raw), boardBytes(0, n)); // the other file went on to the end
        QVERIFY2(errors.contains(QStringLiteral("%1 muestras grabadas en %2").arg(c.values.size()).arg(csv)), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("%1 bytes (%2 muestras) grabados en %3").arg(2 * n).arg(n).arg(raw)), qPrintable(errors));
    }

    void relativeDeviceMeansTheWorkingFolder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("a link of the user's") << "placa";
        QTest::newRow("a link named like a device in /dev") << "ttyS0";
        QTest::newRow("a name with a comma and a quote") << "pl,\"aca";
    }
    void relativeDeviceMeansTheWorkingFolder()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        Board board({QStringLiteral("--flat"), QStringLiteral("--count"), QStringLiteral("100"), QStringLiteral("--linger"), QStringLiteral("5")});
        QVERIFY(QFile::link(board.path, dir.filePath(name)));
        QString errors;
        QCOMPARE(runLogger({"--com1", name, "--config", "9600,N,8,1", "--registro", "r.csv", "--muestras", "100"}, &errors,
                           QString(), dir.path()), 0);
        const Csv c = readCsv(dir.filePath(QStringLiteral("r.csv")));
        QCOMPARE(c.values, boardValues(0, 100));
        // A double quote would open a field that a CSV reader runs on to the end of the file.
        QCOMPARE(c.header(QStringLiteral("dispositivo")),
                 QStringLiteral("%1 (COM1)").arg(QDir(dir.path()).absoluteFilePath(name)).replace(u'"', u'\''));
        QVERIFY(!readAll(dir.filePath(QStringLiteral("r.csv"))).contains('"'));
    }

    void refusedStartLeavesNothingAndTheNextTryWorks_data()
    {
        // The arguments of the refused try ({board}: the board, {dir}: the run's folder).
        QTest::addColumn<QStringList>("refused");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a device that does not exist")
            << QStringList{"--com1", "{dir}/nada", "--config", "9600,N,8,1", "--registro", "x.csv", "--crudo", "x.bin"}
            << "el dispositivo no existe";
        QTest::newRow("settings that cannot be")
            << QStringList{"--com1", "{board}", "--config", "9600,Q,8,1", "--registro", "x.csv", "--crudo", "x.bin"}
            << "--config «9600,Q,8,1» no vale";
        QTest::newRow("settings the device refuses")
            << QStringList{"--com1", "{board}", "--config", "4800,E,7,2", "--registro", "x.csv", "--crudo", "x.bin"}
            << "«4800,E,7,2» rechazada";
        QTest::newRow("a raw file in a missing folder")
            << QStringList{"--com1", "{board}", "--config", "9600,N,8,1", "--registro", "x.csv", "--crudo", "falta/x.bin"}
            << "no se pudo crear falta/x.bin: no existe la carpeta falta.";
        QTest::newRow("a file in missing folders: the outermost is named")
            << QStringList{"--com1", "{board}", "--config", "9600,N,8,1", "--registro", "{dir}/a/b/x.csv"}
            << "no se pudo crear {dir}/a/b/x.csv: no existe la carpeta {dir}/a.";
        QTest::newRow("one file under two spellings")
            << QStringList{"--com1", "{board}", "--config", "9600,N,8,1", "--registro", "x.csv", "--crudo", "./x.csv"}
            << "mismo archivo";
    }
    void refusedStartLeavesNothingAndTheNextTryWorks()
    {
        QFETCH(QStringList, refused);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        Board board({QStringLiteral("--flat")});
        QVERIFY(!board.path.isEmpty());
        refused.replaceInStrings(QStringLiteral("{board}"), board.path).replaceInStrings(QStringLiteral("{dir}"), dir.path());
        reason.replace(QStringLiteral("{dir}"), dir.path());
        QString errors;
        QVERIFY(runLogger(refused, &errors, QString(), dir.path()) != 0);
        QVERIFY2(errors.contains(reason), qPrintable(errors));
        // Nothing stays in force: the logger does not go on.
        QVERIFY2(!errors.contains(QStringLiteral("Se mantiene la configuración anterior")) && !errors.contains(QStringLiteral("sigue abierto")),
                 qPrintable(errors));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(runLogger({"--com1", board.path, "--config", "9600,N,8,1", "--registro", "x.csv", "--crudo", "x.bin",
                            "--muestras", "10"}, &errors, QString(), dir.path()), 0);
        QCOMPARE(readCsv(dir.filePath(QStringLiteral("x.csv"))).numbers.size(), 10);
    }

    void inicioIsTheStartAndTiempoCountsFromIt()
    {
        // A board silent for a while: the header's start is when the logger started, and every
        // row's time counts from that same instant.
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("t.csv"));
        Pty pty;
        QProcess logger;
        logger.start(QStringLiteral(DISPVANTO_BINARY), {"--sin-ventanas", "--com1", pty.slavePath(), "--config", "9600,N,8,1",
                                                        "--registro", csv, "--muestras", "3"});
        QTRY_VERIFY_WITH_TIMEOUT(holdsOpen(logger.processId(), pty.slavePath()), 60000);
        QTest::qWait(1500); // the board says nothing for a moment
        const QDateTime written = QDateTime::currentDateTime();
        QVERIFY(pty.write(samplesToBytes({7, 8, 9})));
        QVERIFY(logger.waitForFinished(60000));
        QCOMPARE(logger.exitCode(), 0);
        const Csv c = readCsv(csv);
        QCOMPARE(c.values, (QList<int>{7, 8, 9}));
        const QDateTime start = QDateTime::fromString(c.header(QStringLiteral("inicio")), Qt::ISODateWithMs);
        QVERIFY2(start.isValid() && c.header(QStringLiteral("inicio")).contains(QRegularExpression(QStringLiteral("(Z|[+-]\\d\\d:\\d\\d)$"))),
                 qPrintable(c.header(QStringLiteral("inicio"))));
        QVERIFY2(start.msecsTo(written) >= 1000, qPrintable(start.toString(Qt::ISODateWithMs)));
        const QDateTime firstArrival = start.addMSecs(qint64(c.times[0] * 1000));
        QVERIFY2(firstArrival.msecsTo(written) <= 5, qPrintable(firstArrival.toString(Qt::ISODateWithMs)));
    }

    void thePortRecordedIsTheOneNamed_data()
    {
        QTest::addColumn<QStringList>("ports"); // {pty} stands for the board
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::newRow("--com2 alone") << QStringList{"--com2", "{pty}"} << 0 << "(COM2)";
        QTest::newRow("--com1 alone") << QStringList{"--com1", "{pty}"} << 0 << "(COM1)";
        QTest::newRow("both: which one?") << QStringList{"--com1", "{pty}", "--com2", "{pty}"} << 2 << "no los dos";
    }
    void thePortRecordedIsTheOneNamed()
    {
        QFETCH(QStringList, ports);
        QFETCH(int, status);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("p.csv"));
        Board board({QStringLiteral("--flat")});
        ports.replaceInStrings(QStringLiteral("{pty}"), board.path);
        QString errors;
        QCOMPARE(runLogger(ports + QStringList{"--config", "9600,N,8,1", "--registro", csv, "--muestras", "50"}, &errors), status);
        if (status == 0)
            QCOMPARE(readCsv(csv).header(QStringLiteral("dispositivo")), board.path + u' ' + said);
        else
            QVERIFY2(errors.contains(said) && !QFile::exists(csv), qPrintable(errors));
    }

    void loggerThatRecordedNothingSaysSoAndFails()
    {
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("vacio.csv"));
        Pty pty; // a board that never sends
        QProcess logger;
        logger.start(QStringLiteral(DISPVANTO_BINARY), {"--sin-ventanas", "--com1", pty.slavePath(), "--config", "9600,N,8,1",
                                                        "--registro", csv});
        QTRY_VERIFY_WITH_TIMEOUT(holdsOpen(logger.processId(), pty.slavePath()), 60000);
        logger.terminate();
        QVERIFY(logger.waitForFinished(60000));
        QCOMPARE(logger.exitStatus(), QProcess::NormalExit);
        QCOMPARE(logger.exitCode(), 1);
        const QString errors = QString::fromLocal8Bit(logger.readAllStandardError());
        QVERIFY2(errors.contains(QStringLiteral("No se grabó nada")) && errors.contains(pty.slavePath()), qPrintable(errors));
        const Csv c = readCsv(csv); // still says what the run was
        QVERIFY(c.numbers.isEmpty() && c.damaged.isEmpty());
        QCOMPARE(c.header(QStringLiteral("dispositivo")), pty.slavePath() + QStringLiteral(" (COM1)"));
        QCOMPARE(c.header(QStringLiteral("configuración")), QStringLiteral("9600,N,8,1"));
    }

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

};

QTEST_GUILESS_MAIN(TestLogger)
#include "test_logger.moc"
