// Recording a remote bench while things go wrong, as a demanding user tries it: the real program
// as bench (on the simulated board) and as recorder, a Mosquitto of the test's own that is
// killed, stalled or cut off, and a crafted client that publishes what no bench would. Whatever
// happens, the recorder ends with the bench's samples, or says plainly why it cannot.
#include "mqttmessages.h"
#include "mqttoptions.h"
#include "mqttpublisher.h"
#include "mqttwire.h"
#include "program.h"
#include "publishing.h"
#include "recorder.h"
#include "remotefaultsupport.h"
#include "testproxy.h"
#include "testpty.h"

#include <QElapsedTimer>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QTimeZone>

#include <optional>

#include <csignal>

using namespace remotefaults;

namespace {

enum class Fault { BrokerKilled, RecorderCut, BenchCut, BothCut };
enum class Intrusion { FarAhead, OtherSessionFirst, SecondBench };

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Intrusion)

class TestRemoteFaults : public QObject
{
    Q_OBJECT
private slots:
    void everySampleArrivesThroughConnectionFaults_data();
    void everySampleArrivesThroughConnectionFaults();
    void stalledBrokerPastTheSendingMemoryCostsNothing();
    void sendingLossIsNotedWhileTheConnectionStaysUp();
    void finishedSessionIsToldOnceAndTheNextRecorded();
    void craftedMessagesCostTheRecordingNothing_data();
    void craftedMessagesCostTheRecordingNothing();
    void hugeBatchesKeepMemoryBoundedAndSigtermEnds_data();
    void hugeBatchesKeepMemoryBoundedAndSigtermEnds();
    void requestFloodCostsBoundedTraffic();
    void requestFloodIsServedAtTheResendRate();
};

void TestRemoteFaults::everySampleArrivesThroughConnectionFaults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("broker matado (SIGKILL) y vuelto a arrancar") << Fault::BrokerKilled;
    QTest::newRow("conexión del grabador cortada") << Fault::RecorderCut;
    QTest::newRow("conexión del banco cortada") << Fault::BenchCut;
    QTest::newRow("ambas conexiones cortadas") << Fault::BothCut;
}

// Both ends count (--muestras) and the bench ends by itself. A broker killed mid-run (its
// persistence on) while the recorder cannot come back before the bench has ended: only the
// broker's copy of the recorder's session holds the rest. A connection dropped with seconds of
// samples still to come (the bench's will says it vanished): what the bench does not have yet is
// not given up, and nothing that comes late is thrown away as a duplicate.
void TestRemoteFaults::everySampleArrivesThroughConnectionFaults()
{
    QFETCH(Fault, fault);
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    TestProxy proxy(broker.port());
    QVERIFY(proxy.port());
    BenchAndRecorder run(dir);
    QVERIFY(!run.board.path.isEmpty());
    const bool killed = fault == Fault::BrokerKilled;
    const bool recorderCut = fault == Fault::RecorderCut || fault == Fault::BothCut || killed;
    const bool benchCut = fault == Fault::BenchCut || fault == Fault::BothCut;
    // About 5 s of samples; 21 s where the bench's connection drops, so that the bench still has
    // samples to send well after a recorder that took its will for its end would give them up.
    const qint64 n = benchCut ? 120000 : 30000;
    run.startRecorder(recorderCut ? proxy.port() : broker.port(), n);
    QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains(kListening), kTimeout);
    run.startBench(benchCut ? proxy.port() : broker.port(), n);
    // Where the bench is cut, 5 s in: its summaries have told how far it is.
    QTRY_VERIFY_WITH_TIMEOUT(linesIn(run.remoteCsv) > (benchCut ? 29000 : 2000), kTimeout);
    if (killed) {
        // Killed when nothing is on its way (the board paused and the recorder level with the
        // bench) and after it saved the recorder's session: what a crash cannot take back is
        // the broker's to lose, not this test's.
        const QDateTime subscribed = QDateTime::currentDateTime();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(broker.databasePath()).lastModified() > subscribed, kTimeout);
        QCOMPARE(::kill(pid_t(run.board.process.processId()), SIGSTOP), 0);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(run.remoteRaw).size() == readAll(run.localRaw).size(), kTimeout);
        proxy.cut(true); // the recorder stays away until the bench has ended
        broker.kill();
        QCOMPARE(::kill(pid_t(run.board.process.processId()), SIGCONT), 0);
        const QString lost = QStringLiteral("se perdió la conexión con el broker 127.0.0.1:%1").arg(broker.port());
        QTRY_VERIFY2_WITH_TIMEOUT(run.bench.errors().contains(lost), qPrintable(run.bench.errors()), kTimeout);
        const qint64 atLoss = linesIn(run.localCsv);
        QTRY_VERIFY_WITH_TIMEOUT(linesIn(run.localCsv) > atLoss + 3000, kTimeout); // samples pile up meanwhile
        const QString again = broker.start();
        QVERIFY2(again.isEmpty(), qPrintable(again));
        QTRY_COMPARE_WITH_TIMEOUT(run.bench.process.state(), QProcess::NotRunning, kTimeout);
        proxy.release();
    } else {
        proxy.cut(false); // back at once: the bench's will has told the recorder it vanished
    }
    run.checkSame(n);
}

// A broker that stalls (SIGSTOP) for 20 s while the bench's sending memory is far too small for
// what comes meanwhile: the bench lets the oldest batches go and sends them again from its raw
// recording; the recorder, which never gives up on a bench that is there, gets every sample with
// its own arrival time. (The program has no option for the sending memory: the bench is the
// publisher in this process, fed with made-up samples that it records raw.)
void TestRemoteFaults::stalledBrokerPastTheSendingMemoryCostsNothing()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    constexpr int perBlock = 37;
    constexpr qint64 n = 200000; // about 14 s of the feed: it overflows while the broker stalls
    TestFeed feed(perBlock, 2, 5);
    feed.setRawFile(dir.filePath("banco.bin"));
    PublisherContext fast = feed.context();
    fast.settings = QStringLiteral("921600,N,8,1"); // the feed's pace is within what this line allows
    MqttPublisher publisher(broker.settings(), kTopic, fast);
    publisher.setMemoryLimit(64 * 1024);
    feed.addConsumer(&publisher);
    QSignalSpy lost(&publisher, &MqttPublisher::samplesLost);
    const QString csv = dir.filePath("remoto.csv"), raw = dir.filePath("remoto.bin");
    RunningProgram remote;
    remote.start(QStringList{"--sin-ventanas", "--desde-mqtt", kTopic, "--registro", csv, "--crudo", raw, "--muestras",
                             QString::number(n)}
                 + mqttArgs(broker.port(), writePasswordFile(dir.path(), TestBroker::kPassword)));
    QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains(kListening), kTimeout);
    publisher.start();
    QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), kTimeout);
    feed.start(quint64(n));
    QTRY_VERIFY_WITH_TIMEOUT(linesIn(csv) > 5000, kTimeout);
    broker.freeze();
    QTRY_VERIFY_WITH_TIMEOUT(!lost.isEmpty(), kTimeout); // the sending memory overflowed
    QTest::qWait(20000); // the stall itself; the feed and the publisher go on meanwhile
    broker.thaw();
    QCOMPARE(endOf(remote), 0);
    QVERIFY2(!remote.errors().contains(QStringLiteral("Faltan")), qPrintable(remote.errors()));

    QVERIFY(readAll(raw) == readAll(dir.filePath("banco.bin")).left(2 * n));
    const Csv c = readCsv(csv);
    QVERIFY(c.damaged.isEmpty());
    QCOMPARE(c.numbers, numbered(n));
    for (qint64 i = 0; i < n; ++i) {
        QCOMPARE(c.values.at(i), int(TestFeed::valueAt(quint64(i))));
        // Each sample's own block time (the CSV has microseconds: two roundings apart at most).
        const double expected = double(TestFeed::arrivalOfBlock(quint64(i / perBlock)) - TestFeed::arrivalOfBlock(0)) / 1e9;
        QVERIFY2(qAbs(c.times.at(i) - c.times.at(0) - expected) < 1.5e-6, qPrintable(QString::number(i)));
    }
    publisher.finish();
}

// The broker stalls with every connection up and the bench's sending memory overflows: the local
// CSV says so where it happened while the run still goes on (not at a reconnect that may never
// come), and TEMA/estado carries the notice once the broker moves again.
void TestRemoteFaults::sendingLossIsNotedWhileTheConnectionStaysUp()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    Crafter watcher(broker, {"estado"});
    QVERIFY(watcher.connect());
    Pty pty;
    QVERIFY(pty.isValid());
    PortChoice ports;
    ports.com1 = pty.slavePath().toLocal8Bit();
    RecordingReporter reporter;
    Program bench(&reporter, dir.filePath("serphcn.cmm"), ports);
    const QString csv = dir.filePath("local.csv");
    bench.record(QFile::encodeName(csv), {});
    MqttOptions mqtt;
    mqtt.broker = broker.settings();
    mqtt.topic = kTopic;
    bench.publish(mqtt, QStringLiteral("COM1"));
    MqttPublisher &publisher = bench.publishing()->publisher();
    publisher.setMemoryLimit(16 * 1024);
    bench.acquisition().apply(1, QStringLiteral("9600,N,8,1"));
    QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), kTimeout);

    broker.freeze();
    // More batches than can be on their way at once (those may still reach the broker when it
    // wakes, and count as lost only if their connection ends first): the rest are lost now.
    constexpr qint64 n = 400000;
    pty.writeInBackground(boardBytes(0, n));
    QTRY_COMPARE_WITH_TIMEOUT(bench.recorder()->samplesRecorded(), quint64(n), kTimeout);
    const QString note = QStringLiteral("no llegaron al broker MQTT");
    QTRY_VERIFY_WITH_TIMEOUT(!readCsv(csv).comments.filter(note).isEmpty(), 10000); // on disk, mid-run
    QVERIFY(publisher.isConnected()); // noted while the connection stood, not at a reconnect
    broker.thaw();
    const QString notice = QStringLiteral("perdidas ");
    const QString session = QStringLiteral("(sesión %1)").arg(publisher.session());
    QTRY_VERIFY_WITH_TIMEOUT(watcher.heardOn("estado", notice, session), kTimeout);
    QSignalSpy ended(&bench.run(), &Run::finished);
    bench.finish();
    QVERIFY(ended.wait(2 * Run::kEndWaitMs));
    QCOMPARE(readCsv(csv).values, boardValues(0, n));
}

// A recorder started after a session ended (its meta and state retained by the broker) says
// once that the session is over, waits, and records the next session whole.
void TestRemoteFaults::finishedSessionIsToldOnceAndTheNextRecorded()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    BenchAndRecorder run(dir);
    {
        Board earlier({"--flat"});
        QVERIFY(!earlier.path.isEmpty());
        RunningProgram first;
        first.start(QStringList{"--sin-ventanas", "--com1", earlier.path, "--config", "115200,N,8,1", "--mqtt-tema",
                                kTopic, "--muestras", "3000"} + mqttArgs(broker.port(), run.password));
        QCOMPARE(endOf(first), 0);
    }
    constexpr qint64 n = 6000;
    run.startRecorder(broker.port(), n);
    const QString over = QStringLiteral("ya terminó; se espera a que el banco empiece una nueva");
    QTRY_VERIFY2_WITH_TIMEOUT(run.recorder.errors().contains(over), qPrintable(run.recorder.errors()), kTimeout);
    run.startBench(broker.port(), n);
    run.checkSame(n);
    QCOMPARE(run.recorder.errors().count(over), 1);
}

void TestRemoteFaults::craftedMessagesCostTheRecordingNothing_data()
{
    QTest::addColumn<Intrusion>("intrusion");
    QTest::newRow("lote de la sesión muy por delante") << Intrusion::FarAhead;
    QTest::newRow("lote de una sesión mayor antes del banco") << Intrusion::OtherSessionFirst;
    QTest::newRow("otro banco en el mismo tema") << Intrusion::SecondBench;
}

// What no bench of this topic would publish is refused and told, and the real session is
// recorded whole: a batch of it a million samples ahead (and a request past its newest sample is
// answered "disponible": false), a stray batch of a higher session before the bench starts, a
// second bench on the same topic whose goodbye is not the first one's.
void TestRemoteFaults::craftedMessagesCostTheRecordingNothing()
{
    QFETCH(Intrusion, intrusion);
    // The bench's device by a stable name, as /dev/serial/by-id/… gives it, so that its line
    // settings bound its pace (a name that looks like a pseudo-terminal bounds nothing).
    std::optional<QTemporaryDir> made;
    do
        made.emplace();
    while (made->path().contains(u"pty"));
    const QTemporaryDir &dir = *made;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    Crafter crafter(broker, {"pedido"});
    QVERIFY(crafter.connect());
    BenchAndRecorder run(dir);
    QVERIFY(!run.board.path.isEmpty());
    run.device = dir.filePath("ttyUSB-placa");
    QVERIFY(QFile::link(run.board.path, run.device));
    constexpr qint64 n = 20000;
    run.startRecorder(broker.port(), n);
    QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains(kListening), kTimeout);
    if (intrusion == Intrusion::OtherSessionFirst) {
        QVERIFY(crafter.send("muestras", craftedBatch(quint64(1) << 62, 0, 10).encode()));
        QTRY_VERIFY_WITH_TIMEOUT(run.recorder.errors().contains(QStringLiteral("sesión %1").arg(quint64(1) << 62)), kTimeout);
    }
    run.startBench(broker.port(), n);
    QTRY_VERIFY_WITH_TIMEOUT(linesIn(run.remoteCsv) > 2000, kTimeout);
    const quint64 session = run.session();
    QVERIFY(session);
    QString told;
    if (intrusion == Intrusion::FarAhead) {
        QVERIFY(crafter.send("muestras", craftedBatch(session, 1000000, 10).encode()));
        QVERIFY(crafter.send("pedido", ResendRequest{session, 5000000, 10}.toJson()));
        QTRY_VERIFY_WITH_TIMEOUT(crafter.refusedAsNotYetThere(5000000), kTimeout);
        told = QStringLiteral("índices muy por delante");
    } else if (intrusion == Intrusion::SecondBench) {
        TestFeed feed(37, 1, 5);
        MqttPublisher other(broker.settings(), kTopic, feed.context());
        feed.addConsumer(&other);
        other.start();
        feed.start();
        // The first bench is live (its batches are coming), so the second is told as two at once.
        told = QStringLiteral("En %1 publican dos sesiones a la vez (%2 y %3)").arg(kTopic).arg(run.session()).arg(other.session());
        QTRY_VERIFY2_WITH_TIMEOUT(run.recorder.errors().contains(told), qPrintable(run.recorder.errors()), kTimeout);
        feed.stop();
        QSignalSpy gone(&other, &MqttPublisher::finished);
        other.finish(); // its goodbye names its own session
        QVERIFY(gone.wait(kTimeout)); // well before the first bench ends: it has seconds of samples to go
    }
    run.checkSame(n);
    if (!told.isEmpty())
        QCOMPARE(run.recorder.errors().count(told), 1);
    if (intrusion == Intrusion::SecondBench) // the bench says it too
        QVERIFY2(run.bench.errors().contains(QStringLiteral("publica también en %1").arg(kTopic)), qPrintable(run.bench.errors()));
}

void TestRemoteFaults::hugeBatchesKeepMemoryBoundedAndSigtermEnds_data()
{
    QTest::addColumn<bool>("withMeta");
    QTest::newRow("meta válida, lote 0–9 y lotes en 2^62") << true;
    QTest::newRow("lotes sin meta") << false;
}

// Batches of 5 000 000 samples (10 MB each) that cannot be placed: far ahead of a valid session,
// or of a session whose meta never came. The recorder refuses them and says so, its memory stays
// bounded, and SIGTERM ends it at once.
void TestRemoteFaults::hugeBatchesKeepMemoryBoundedAndSigtermEnds()
{
    QFETCH(bool, withMeta);
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    const QString csv = dir.filePath("remoto.csv");
    RunningProgram remote;
    remote.start(QStringList{"--sin-ventanas", "--desde-mqtt", kTopic, "--registro", csv}
                 + mqttArgs(broker.port(), writePasswordFile(dir.path(), TestBroker::kPassword)));
    QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains(kListening), kTimeout);
    Crafter crafter(broker, {});
    QVERIFY(crafter.connect());
    constexpr quint64 session = 1'700'000'000'000;
    constexpr quint64 huge = 5000000;
    quint64 base = 0;
    int batches = 40;
    if (withMeta) {
        QVERIFY(crafter.send("meta", craftedMeta(session).toJson(), true));
        QVERIFY(crafter.send("estado", mqttwire::stateText(mqttwire::kOnline, session), true));
        QVERIFY(crafter.send("muestras", craftedBatch(session, 0, 10).encode()));
        QTRY_COMPARE_WITH_TIMEOUT(readCsv(csv).values.size(), 10, kTimeout);
        base = quint64(1) << 62;
        batches = 10;
    }
    for (int k = 0; k < batches; ++k)
        QVERIFY(crafter.send("muestras", craftedBatch(session, base + quint64(k) * huge, huge).encode()));
    // Behind them on the same topic, so in order: once it is told, the huge ones were all handled.
    QVERIFY(crafter.send("muestras", QByteArray("no es un lote")));
    QTRY_VERIFY2_WITH_TIMEOUT(remote.errors().contains(QStringLiteral("un lote que no se puede leer")),
                              qPrintable(remote.errors()), kTimeout);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's quarantine keeps up to 256 MB of freed batches resident on purpose
    const qint64 peak = peakMemoryKb(remote.process.processId());
    QVERIFY2(peak > 0 && peak < 300 * 1024, qPrintable(QString::number(peak)));
#endif
    remote.process.terminate();
    QTRY_COMPARE_WITH_TIMEOUT(remote.process.state(), QProcess::NotRunning, 10000);
    const int status = remote.wait(0);
    const QString errors = remote.errors();
    if (withMeta) {
        QCOMPARE(status, 0);
        QVERIFY2(errors.contains(QStringLiteral("%1 inverosímiles").arg(batches)), qPrintable(errors));
        QCOMPARE(readCsv(csv).values.size(), 10);
    } else {
        QCOMPARE(status, 1);
        QVERIFY2(errors.contains(QStringLiteral("lotes de una sesión cuya descripción (meta) no llegó")), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("pero nunca la descripción (TEMA/meta)")), qPrintable(errors));
        QVERIFY(readCsv(csv).values.isEmpty());
    }
}

// 2000 requests for samples 0 … 10^12 within 2 s while a bench at 115200 baud records: what it
// sends meanwhile stays within its re-send rate (counted on its way to the broker, through a
// proxy, so that nothing a slow subscriber drops hides it), and its own recording stays whole.
void TestRemoteFaults::requestFloodCostsBoundedTraffic()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    TestProxy proxy(broker.port());
    QVERIFY(proxy.port());
    Crafter crafter(broker, {"meta"});
    QVERIFY(crafter.connect());
    BenchAndRecorder run(dir);
    QVERIFY(!run.board.path.isEmpty());
    constexpr qint64 n = 40000; // about 7 s
    run.startBench(proxy.port(), n);
    QTRY_VERIFY_WITH_TIMEOUT(linesIn(run.localCsv) > 25000, kTimeout); // it holds 50 kB and more
    QTRY_VERIFY_WITH_TIMEOUT(!crafter.payloadsOn("meta").isEmpty(), kTimeout);
    const auto meta = SessionMeta::fromJson(crafter.payloadsOn("meta").constLast());
    QVERIFY(meta);
    const qint64 before = proxy.bytesFromClients();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(flood(crafter, meta->session));
    QTest::qWait(2000); // the next seconds
    const qint64 sent = proxy.bytesFromClients() - before;
    QVERIFY2(double(sent) < allowedResend(clock.elapsed()), qPrintable(QStringLiteral("%1 bytes").arg(sent)));
    QCOMPARE(endOf(run.bench), 0);
    QCOMPARE(readAll(run.localRaw), boardBytes(0, n));
    QCOMPARE(readCsv(run.localCsv).values, boardValues(0, n));
}

// A bench that holds 16 MiB (in memory) is asked for samples 0 … 10^12: it sends all it holds
// again (and says the rest does not exist). Then the flood: within its re-send rate.
void TestRemoteFaults::requestFloodIsServedAtTheResendRate()
{
    QTemporaryDir dir;
    TestBroker broker(dir.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    TestProxy proxy(broker.port());
    QVERIFY(proxy.port());
    MqttBroker throughProxy = broker.settings();
    throughProxy.port = proxy.port();
    TestFeed feed(MqttPublisher::kBatchSamples, 1, 1000);
    MqttPublisher bench(throughProxy, kTopic, feed.context());
    feed.addConsumer(&bench);
    bench.start();
    QTRY_VERIFY_WITH_TIMEOUT(bench.isConnected(), kTimeout);
    constexpr qint64 held = qint64(16) << 20;
    feed.step(int(held / 2 / MqttPublisher::kBatchSamples));
    QTRY_COMPARE_WITH_TIMEOUT(bench.unacknowledgedSamples(), quint64(0), kTimeout);
    Crafter crafter(broker, {});
    QVERIFY(crafter.connect());
    const QByteArray all = R"({"sesion":)" + QByteArray::number(bench.session()) + R"(,"primera":0,"cuantas":1e12})";
    qint64 before = proxy.bytesFromClients();
    QVERIFY(crafter.send("pedido", all));
    QTRY_VERIFY_WITH_TIMEOUT(proxy.bytesFromClients() - before > held, kTimeout); // all of it, again

    before = proxy.bytesFromClients();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(flood(crafter, bench.session()));
    QTest::qWait(1000);
    const qint64 sent = proxy.bytesFromClients() - before;
    QVERIFY2(double(sent) < allowedResend(clock.elapsed()), qPrintable(QStringLiteral("%1 bytes").arg(sent)));
}

QTEST_MAIN(TestRemoteFaults)
#include "test_remotefaults.moc"
