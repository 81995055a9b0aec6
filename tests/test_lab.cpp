// One recorder for every bench under a topic filter, end to end: the real program as benches (on
// the simulated board) and as the lab's recorder, against a Mosquitto of the test's own. Each
// session of each bench must end up in files of its own that equal the bench's own recording.
#include "lab.h"
#include "mqttpublisher.h"
#include "labnames.h"
#include "remotefaultsupport.h"
#include "testproxy.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <map>
#include <memory>

using namespace remotefaults;

namespace {

// Rows of a recording in parts, joined: each part's own column names and comments left out.
QList<QByteArray> joinedRows(const QStringList &parts)
{
    QList<QByteArray> rows;
    for (const QString &part : parts)
        for (const QByteArray &row : rowsOf(part))
            if (!row.startsWith("muestra,"))
                rows << row;
    return rows;
}

QByteArray joinedBytes(const QStringList &parts)
{
    QByteArray all;
    for (const QString &part : parts)
        all += readAll(part);
    return all;
}

// The recordings the lab recorder made for one bench: each session's parts, in time order.
std::vector<std::pair<QStringList, QStringList>> sessionsIn(const QString &benchFolder)
{
    const QDir dir(benchFolder);
    std::map<QString, std::pair<QStringList, QStringList>> byBase; // names sort in time
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        QString base = name.section(u'.', 0, -2); // without .csv or .bin
        if (base.contains(QRegularExpression(QStringLiteral("-[0-9]{6}$"))))
            base.chop(7); // a part's number
        (name.endsWith(u".csv") ? byBase[base].first : byBase[base].second) << dir.filePath(name);
    }
    std::vector<std::pair<QStringList, QStringList>> out;
    for (auto &[base, files] : byBase)
        out.push_back(files);
    return out;
}

// A bench on a board of its own, as a user starts one.
struct Bench
{
    std::unique_ptr<Board> board; // made at the start: a board unread for long sends its backlog at once
    RunningProgram program;
    QString csv, raw;

    void start(const QString &folder, const QString &topic, const QString &name, quint16 port, const QString &password,
               qint64 n)
    {
        board = std::make_unique<Board>(QStringList{"--baud", "115200"});
        csv = folder + u'/' + name + QStringLiteral(".csv");
        raw = folder + u'/' + name + QStringLiteral(".bin");
        program.start(QStringList{"--sin-ventanas", "--com1", board->path, "--config", "115200,N,8,1", "--mqtt-tema", topic,
                                  "--registro", csv, "--crudo", raw, "--muestras", QString::number(n)}
                      + mqttArgs(port, password));
    }
};

} // namespace

class TestLab : public QObject
{
    Q_OBJECT
private slots:
    void benchTopicsMapToFileNamesAndBack_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("stem");
        QTest::newRow("levels") << "lab/banco1" << QByteArray("lab%2Fbanco1");
        QTest::newRow("a space and the separator") << "lab/banco 1_b" << QByteArray("lab%2Fbanco%201%5Fb");
        QTest::newRow("not hidden") << ".oculto/a.b" << QByteArray("%2Eoculto%2Fa.b");
        QTest::newRow("UTF-8 and a percent sign") << "lab/año/50%" << QByteArray("lab%2Fa%C3%B1o%2F50%25");
    }
    void benchTopicsMapToFileNamesAndBack()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, stem);
        QCOMPARE(labnames::fileStem(topic), stem);
        QCOMPARE(labnames::topicOfStem(stem), topic);
    }

    void filterReachesEveryDepthItAllows()
    {
        QCOMPARE(labnames::subscriptions(QStringLiteral("lab/+"), QLatin1StringView("meta")),
                 QStringList{"lab/+/meta"});
        const QStringList deep = labnames::subscriptions(QStringLiteral("lab/#"), QLatin1StringView("meta"));
        QCOMPARE(deep.size(), 1 + labnames::kHashDepth);
        QCOMPARE(deep.first(), QStringLiteral("lab/meta"));
        QCOMPARE(deep.at(2), QStringLiteral("lab/+/+/meta"));
    }

    // Three benches under lab/+: one already running when the recorder starts and whose
    // connection drops mid-run, one that starts later, one that ends and starts a new session.
    // Rotation every second cuts inside batches. Every session's parts, joined, equal that
    // bench's own CSV and raw files.
    void everyBenchUnderAFilterIsRecordedWhole()
    {
        QTemporaryDir dir;
        TestBroker broker(dir.path(), {});
        QVERIFY2(broker.start().isEmpty(), qPrintable(broker.log()));
        const QString password = writePasswordFile(dir.path(), TestBroker::kPassword);
        TestProxy proxy(broker.port());
        QVERIFY(proxy.port());
        const QString out = dir.filePath("lab");
        QVERIFY(QDir().mkpath(out));
        constexpr qint64 n = 20000; // 3.5 s at 115200 baud

        Bench a, b, c1, c2;
        a.start(dir.path(), "lab/a", "a", proxy.port(), password, 3 * n);
        QTRY_VERIFY_WITH_TIMEOUT(linesIn(a.csv) > 1000, kTimeout); // live before the recorder
        RunningProgram lab;
        lab.start(QStringList{"--sin-ventanas", "--desde-mqtt", "lab/+", "--carpeta", out, "--rotar", "1s"}
                  + mqttArgs(broker.port(), password));
        QTRY_VERIFY_WITH_TIMEOUT(lab.errors().contains("lab/a (sesión"), kTimeout);
        b.start(dir.path(), "lab/b", "b", broker.port(), password, n);
        c1.start(dir.path(), "lab/c", "c1", broker.port(), password, n);
        QTRY_VERIFY_WITH_TIMEOUT(linesIn(a.csv) > n, kTimeout);
        proxy.cut(false); // a's connection drops; it comes back by itself
        QCOMPARE(endOf(c1.program), 0);
        c2.start(dir.path(), "lab/c", "c2", broker.port(), password, n);
        for (Bench *bench : {&a, &b, &c2})
            QCOMPARE(endOf(bench->program), 0);
        QTRY_COMPARE_WITH_TIMEOUT(lab.errors().count(QStringLiteral(") terminó: ")), 4, kTimeout);
        ::kill(lab.process.processId(), SIGUSR1); // the table, and the recorder goes on
        QTRY_VERIFY_WITH_TIMEOUT(lab.errors().contains(QStringLiteral("banco\tsesión\tmuestras")), kTimeout);
        ::kill(lab.process.processId(), SIGTERM);
        const int status = endOf(lab);
        const QString said = lab.errors();
        QVERIFY2(status == 0, qPrintable(said));
        QCOMPARE(said.count(QStringLiteral("\tcompleta\t")), 8); // in both tables

        const std::map<QString, std::vector<Bench *>> expected{{"lab%2Fa", {&a}}, {"lab%2Fb", {&b}}, {"lab%2Fc", {&c1, &c2}}};
        for (const auto &[stem, benches] : expected) {
            const auto sessions = sessionsIn(out + u'/' + stem);
            QCOMPARE(sessions.size(), benches.size());
            for (size_t i = 0; i < benches.size(); ++i) {
                const auto &[csvParts, rawParts] = sessions[i];
                QVERIFY2(csvParts.size() >= 3, qPrintable(csvParts.join(u' '))); // parts of a second each
                QCOMPARE(csvParts.size(), rawParts.size());
                QVERIFY2(joinedRows(csvParts) == rowsOf(benches[i]->csv).mid(1), qPrintable(stem));
                QVERIFY2(joinedBytes(rawParts) == readAll(benches[i]->raw), qPrintable(stem));
            }
        }
    }

    // The bench on one broker, the recorder on another, joined by Mosquitto's own bridge (both
    // ways: the recorder's requests must reach the bench). The bench's broker, which holds the
    // bridge, is restarted mid-run: what was lost with it is asked for across the bridge.
    void recordingThroughABridgeSurvivesItsRestart()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("central")) && QDir().mkpath(dir.filePath("edificio")));
        TestBroker central(dir.filePath("central"), {});
        QVERIFY2(central.start().isEmpty(), qPrintable(central.log()));
        TestBroker::Options bridged;
        bridged.more = QStringLiteral("connection central\naddress 127.0.0.1:%1\ntopic lab/# both 1\n"
                                      "remote_username %2\nremote_password %3\ncleansession false\n"
                                      "restart_timeout 1\nnotifications false\n")
                           .arg(central.port())
                           .arg(TestBroker::kUser, QString::fromUtf8(TestBroker::kPassword))
                           .toUtf8();
        TestBroker building(dir.filePath("edificio"), bridged);
        QVERIFY2(building.start().isEmpty(), qPrintable(building.log()));
        const QString password = writePasswordFile(dir.path(), TestBroker::kPassword);
        const QString out = dir.filePath("lab");
        QVERIFY(QDir().mkpath(out));
        constexpr qint64 n = 30000; // 5 s at 115200 baud

        RunningProgram lab;
        lab.start(QStringList{"--sin-ventanas", "--desde-mqtt", "lab/#", "--carpeta", out, "--formatos", "crudo"}
                  + mqttArgs(central.port(), password));
        QTRY_VERIFY_WITH_TIMEOUT(central.log().contains(QStringLiteral("as dvrec")) || lab.errors().contains("Se graban"),
                                 kTimeout);
        Bench bench;
        bench.start(dir.path(), "lab/sala2/banco", "banco", building.port(), password, n);
        QTRY_VERIFY_WITH_TIMEOUT(lab.errors().contains("lab/sala2/banco (sesión"), kTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(linesIn(bench.csv) > n / 3, kTimeout);
        building.kill();
        QVERIFY2(building.start().isEmpty(), qPrintable(building.log()));
        QCOMPARE(endOf(bench.program), 0);
        QTRY_COMPARE_WITH_TIMEOUT(lab.errors().count(QStringLiteral(") terminó: ")), 1, 2 * kTimeout);
        ::kill(lab.process.processId(), SIGTERM);
        const int status = endOf(lab);
        QVERIFY2(status == 0, qPrintable(lab.errors()));
        const auto sessions = sessionsIn(out + QStringLiteral("/lab%2Fsala2%2Fbanco"));
        QCOMPARE(sessions.size(), size_t(1));
        QVERIFY(sessions[0].first.isEmpty());
        QVERIFY(joinedBytes(sessions[0].second) == readAll(bench.raw));
    }

    // One bench's folder on a small filesystem that fills: that bench's recording stops, said
    // with its name; the other bench's goes on, complete; the exit status says not all is there.
    void fullFolderStopsOnlyItsBench()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath("lab"), full = out + QStringLiteral("/lab%2Fllena");
        QVERIFY(QDir().mkpath(full));
        if (QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "tmpfs", full}) != 0)
            QSKIP("a small filesystem cannot be mounted here (that needs root)");
        const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {full}); });
        TestBroker broker(dir.path(), {});
        QVERIFY2(broker.start().isEmpty(), qPrintable(broker.log()));
        const QString password = writePasswordFile(dir.path(), TestBroker::kPassword);
        constexpr qint64 n = 20000; // about 440 kB of CSV: past the 64 kB

        RunningProgram lab;
        lab.start(QStringList{"--sin-ventanas", "--desde-mqtt", "lab/+", "--carpeta", out}
                  + mqttArgs(broker.port(), password));
        Bench filling, fine;
        filling.start(dir.path(), "lab/llena", "llena", broker.port(), password, n);
        fine.start(dir.path(), "lab/bien", "bien", broker.port(), password, n);
        for (Bench *bench : {&filling, &fine})
            QCOMPARE(endOf(bench->program), 0);
        QTRY_VERIFY_WITH_TIMEOUT(lab.errors().contains(QStringLiteral("lab/bien (sesión")) &&
                                 lab.errors().contains(QStringLiteral(") terminó: ")), kTimeout);
        ::kill(lab.process.processId(), SIGTERM);
        QCOMPARE(endOf(lab), 1);
        const QString said = lab.errors();
        QVERIFY2(said.contains(QRegularExpression(QStringLiteral("lab/llena \\(sesión \\d+\\): .*no queda espacio"))),
                 qPrintable(said));
        QVERIFY2(said.contains(QRegularExpression(QStringLiteral("\nlab/llena\\t\\d+\\t\\d+\\t0\\tfalló la grabación"))),
                 qPrintable(said));
        QVERIFY2(said.contains(QRegularExpression(QStringLiteral("\nlab/bien\\t\\d+\\t20000\\t0\\tcompleta"))),
                 qPrintable(said));
        const auto sessions = sessionsIn(out + QStringLiteral("/lab%2Fbien"));
        QCOMPARE(sessions.size(), size_t(1));
        QVERIFY(joinedRows(sessions[0].first) == rowsOf(fine.csv).mid(1));
        QVERIFY(joinedBytes(sessions[0].second) == readAll(fine.raw));
    }

    // More live benches than one recorder holds: the one beyond is told once and not recorded,
    // every other one is.
    void benchesBeyondTheBoundAreToldAndTheOthersKept()
    {
        QTemporaryDir dir;
        TestBroker broker(dir.path(), {});
        QVERIFY2(broker.start().isEmpty(), qPrintable(broker.log()));
        const QString password = writePasswordFile(dir.path(), TestBroker::kPassword);
        Crafter crafter(broker, {});
        QVERIFY(crafter.connect());
        constexpr int kBenches = LabRecorder::kMaxBenches + 1;
        for (int i = 0; i < kBenches; ++i)
            QVERIFY(crafter.client.publish(QStringLiteral("lab/b%1/meta").arg(i, 3, 10, QLatin1Char('0')),
                                           craftedMeta(quint64(1000 + i)).toJson(), 1, true) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(crafter.acked.size(), kBenches, kTimeout);
        const QString out = dir.filePath("lab");
        QVERIFY(QDir().mkpath(out));
        RunningProgram lab;
        lab.start(QStringList{"--sin-ventanas", "--desde-mqtt", "lab/+", "--carpeta", out}
                  + mqttArgs(broker.port(), password));
        QTRY_COMPARE_WITH_TIMEOUT(lab.errors().count(QStringLiteral("): se graba en ")), kBenches - 1, kTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(lab.errors().contains(QStringLiteral("ya se graban %1 bancos").arg(kBenches - 1)), kTimeout);
        ::kill(lab.process.processId(), SIGTERM);
        QCOMPARE(endOf(lab), 1); // sessions that recorded nothing
        QCOMPARE(lab.errors().count(QStringLiteral("no se graba: ya se graban")), 1);
        QCOMPARE(QDir(out).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), kBenches - 1);
    }

    // A bench whose sending memory overflows while the broker is stalled, and which keeps no raw
    // file: the samples lost are a gap, and its "#" line falls where a part ends, since the
    // loss spans more than a rotation period. Joined, the parts hold every row once and the line
    // once; the bench tells as lost exactly that gap (what was on its way arrived).
    void gapNoteAtAPartBoundaryIsWrittenOnce()
    {
        QTemporaryDir dir;
        TestBroker broker(dir.path(), {});
        QVERIFY2(broker.start().isEmpty(), qPrintable(broker.log()));
        const QString password = writePasswordFile(dir.path(), TestBroker::kPassword);
        const QString out = dir.filePath("lab");
        QVERIFY(QDir().mkpath(out));
        RunningProgram lab;
        lab.start(QStringList{"--sin-ventanas", "--desde-mqtt", "lab/+", "--carpeta", out, "--formatos", "csv", "--rotar",
                              "1s"}
                  + mqttArgs(broker.port(), password));
        // The feed's clock runs a block a millisecond whatever the real time: handed out by the
        // test, 8 000 blocks make 8 s of the bench's time, 8 parts.
        constexpr int kPerBlock = 288;
        constexpr quint64 kTotal = quint64(kPerBlock) * 8000;
        TestFeed feed(kPerBlock, 0, 1000);
        PublisherContext context = feed.context();
        context.device = QStringLiteral("/dev/pts/99"); // no line bounds its rate
        context.startNanos = 0; // tiempo_s from the feed's clock
        MqttPublisher bench(broker.settings(), QStringLiteral("lab/nota"), std::move(context));
        bench.setMemoryLimit(4 * 48 * 1024); // four full batches
        feed.addConsumer(&bench);
        QSignalSpy lost(&bench, &MqttPublisher::samplesLost);
        bench.start();
        QTRY_VERIFY_WITH_TIMEOUT(lab.errors().contains(QStringLiteral("lab/nota (sesión")), kTimeout);
        const auto flow = [&](int blocks) { // a little at a time, each confirmed before the next
            for (int i = 0; i < blocks; i += 100) {
                feed.step(100);
                QTRY_VERIFY_WITH_TIMEOUT(bench.unacknowledgedSamples() == 0, kTimeout);
            }
        };
        flow(2000);
        // Stalled, 4 s of the bench's time at once: a window's worth goes on its way (and is
        // confirmed after), four batches stay in memory, the rest is lost.
        broker.freeze();
        feed.step(4000);
        broker.thaw();
        flow(2000);
        bench.finish();
        QTRY_VERIFY_WITH_TIMEOUT(lab.errors().contains(QStringLiteral(") terminó: ")), kTimeout);
        ::kill(lab.process.processId(), SIGTERM);
        const int status = endOf(lab);
        QVERIFY2(status == 1, qPrintable(lab.errors())); // a gap

        const auto sessions = sessionsIn(out + QStringLiteral("/lab%2Fnota"));
        QCOMPARE(sessions.size(), size_t(1));
        const QStringList &parts = sessions[0].first;
        QVERIFY2(parts.size() >= 6, qPrintable(parts.join(u' ')));
        QList<QByteArray> notes, rows;
        for (const QString &part : parts) {
            const QList<QByteArray> lines = readAll(part).split('\n');
            QVERIFY2(lines.value(0).startsWith("# "), qPrintable(part)); // each part has its header
            bool body = false;
            for (const QByteArray &line : lines) {
                if (line.startsWith("muestra,"))
                    body = true;
                else if (body && line.startsWith('#'))
                    notes << line;
                else if (body && !line.isEmpty())
                    rows << line;
            }
        }
        QCOMPARE(notes.size(), 1);
        // Every row once, in order; those missing are the ones the note names.
        const QRegularExpression named(QStringLiteral("faltan (\\d+) muestras \\((\\d+) a (\\d+)\\)"));
        const QRegularExpressionMatch m = named.match(QString::fromUtf8(notes.first()));
        QVERIFY2(m.hasMatch(), notes.first().constData());
        const quint64 first = m.captured(2).toULongLong(), last = m.captured(3).toULongLong();
        QVERIFY(last - first + 1 > 1000 * kPerBlock); // more than a part's second
        QCOMPARE(quint64(rows.size()), kTotal - (last - first + 1));
        quint64 expected = 0;
        for (const QByteArray &row : rows) {
            if (expected == first)
                expected = last + 1;
            const QList<QByteArray> cells = row.split(',');
            QCOMPARE(cells.first().toULongLong(), expected);
            QCOMPARE(cells.last().trimmed().toUInt(), uint(TestFeed::valueAt(expected)));
            ++expected;
        }
        quint64 told = 0;
        for (const auto &l : lost)
            told += l.at(1).toULongLong();
        QCOMPARE(told, last - first + 1);
    }
};

QTEST_GUILESS_MAIN(TestLab)
#include "test_lab.moc"
