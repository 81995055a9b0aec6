// Samples from a publisher to a remote source through a real Mosquitto of the test's own: the
// round trip, memory running out, a subscriber the broker drops messages for, samples re-sent
// from the raw recording. A broker that goes away mid-run is tested end to end, with the real
// program (test_remotebench).
#include "mqttpublisher.h"
#include "mqttsource.h"
#include "mqtttestsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace {

constexpr int kTimeout = 20000;
constexpr int kPerBlock = 37; // not a divisor of anything, so batches cut blocks
const QString kTopic = QStringLiteral("banco/uno");

// A publisher fed by made-up samples, and a remote source collecting them, on one broker.
struct Run
{
    Run(const MqttBroker &broker, int blocksPerTick, quint64 target)
        : feed(kPerBlock, blocksPerTick, 5),
          publisher(broker, kTopic, feed.context()),
          source(broker, kTopic),
          reached(&source, &MqttSource::targetReached)
    {
        feed.addConsumer(&publisher);
        source.addConsumer(&remote);
        source.setTarget(target);
        QObject::connect(&publisher, &MqttPublisher::problem, &publisher,
                         [this](const QString &m) { publisherProblems << m; });
        QObject::connect(&source, &MqttSource::problem, &source, [this](const QString &m) { sourceProblems << m; });
    }
    TestFeed feed;
    MqttPublisher publisher;
    MqttSource source;
    Collector remote;
    QSignalSpy reached;
    QStringList publisherProblems;
    QStringList sourceProblems;
};

QStringList matching(const QStringList &messages, const QString &part)
{
    QStringList out;
    for (const QString &m : messages)
        if (m.contains(part))
            out << m;
    return out;
}

// What the receiving peer printed: the gaps it gave up, and its final line
// "fin COMPLETO ENTREGADAS SUMA_DE_INDICES ERRORES".
struct ReceiverReport
{
    quint64 missingCount = 0;
    quint64 missingIndexSum = 0;
    QList<QByteArray> end;

    static ReceiverReport read(const QByteArray &out)
    {
        ReceiverReport r;
        for (const QByteArray &line : out.split('\n')) {
            const QList<QByteArray> w = line.split(' ');
            if (w.at(0) == "falta" && w.size() == 3) {
                const quint64 first = w.at(1).toULongLong();
                const quint64 count = w.at(2).toULongLong();
                r.missingCount += count;
                r.missingIndexSum += count * first + count * (count - 1) / 2;
            } else if (w.at(0) == "fin") {
                r.end = w;
            }
        }
        return r;
    }
};

} // namespace

class TestMqttStream : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void memoryOverflow();
    void slowSubscriber_data();
    void slowSubscriber();
    void droppedOnItsWayButConfirmedIsDelivered();
    void resentFromRawKeepArrivalTimes();
    void requestPastTheNewestSampleGetsWhatIsHeldAndARefusal();

private:
    QTemporaryDir m_certFolder;
    TestCertificates m_certs;
};

void TestMqttStream::initTestCase()
{
    QVERIFY(m_certFolder.isValid());
    const QString error = m_certs.make(m_certFolder.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestMqttStream::roundTrip_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("contraseña") << false;
    QTest::newRow("contraseña y TLS") << true;
}

// Every sample arrives once, in order, with its value and its arrival time at the publisher's
// port; the remote side knows the session's meta, and sees the same bytes.
void TestMqttStream::roundTrip()
{
    QFETCH(bool, tls);
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {tls ? &m_certs : nullptr});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));

    constexpr quint64 kSamples = 60000;
    TestFeed feed(kPerBlock, 20, 5);
    MqttPublisher publisher(broker.settings(), QStringLiteral("banco/uno"), feed.context());
    feed.addConsumer(&publisher);
    MqttSource source(broker.settings(), QStringLiteral("banco/uno"));
    Collector remote;
    source.addConsumer(&remote);
    QSignalSpy reached(&source, &MqttSource::targetReached);
    source.setTarget(kSamples);
    source.start();
    QTRY_VERIFY_WITH_TIMEOUT(source.client().isConnected(), kTimeout);
    publisher.start();
    QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), kTimeout);
    feed.start(kSamples);

    QTRY_COMPARE_WITH_TIMEOUT(reached.size(), 1, kTimeout);
    QCOMPARE(reached.at(0).at(0).toBool(), true);
    const QString check = remote.checkAgainstFeed(0, kSamples, kPerBlock);
    QVERIFY2(check.isEmpty(), qPrintable(check));
    QVERIFY(source.missing().empty());
    QVERIFY(remote.bytesContiguous);
    QCOMPARE(remote.bytes.size(), qsizetype(2 * kSamples));
    QVERIFY(source.hasMeta());
    QCOMPARE(source.session(), publisher.session());
    QCOMPARE(source.meta().device, QStringLiteral("/dev/ttyPRUEBA0"));
    QCOMPARE(source.meta().settings, QStringLiteral("115200,N,8,1"));
    QCOMPARE(source.meta().clockZeroUnixNanos, TestFeed::kUnixBase);
    QCOMPARE(source.publisherState(), MqttPublisher::kOnline);
}

// Samples keep coming while the broker cannot be reached and the sending memory fills: the
// oldest batches go. The publisher says once that it is dropping, then which samples were lost
// (for the local recording and on TEMA/estado); the remote side asks for them, cannot get them,
// and reports exactly that gap.
void TestMqttStream::memoryOverflow()
{
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    constexpr quint64 kSamples = 40000;
    Run run(broker.settings(), 4, kSamples);
    run.source.setGapWait(1500);
    run.publisher.setMemoryLimit(16 * 1024);
    QSignalSpy lost(&run.publisher, &MqttPublisher::samplesLost);
    QSignalSpy notices(&run.source, &MqttSource::notice);
    // Not connected yet: the publisher keeps what it can, as while its broker is away.
    run.feed.start(kSamples);
    QTRY_VERIFY_WITH_TIMEOUT(run.feed.emitted() == kSamples, kTimeout);
    QCOMPARE(matching(run.publisherProblems, QStringLiteral("memoria de envío")).size(), 1);

    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    run.source.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.source.client().isConnected(), kTimeout); // it hears the notice
    run.publisher.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.reached.size(), 1, kTimeout);
    QCOMPARE(run.reached.at(0).at(0).toBool(), false);
    // Told as it happens, a line a second at most: together, the oldest samples, without a hole.
    QVERIFY(!lost.isEmpty());
    quint64 kept = 0;
    for (const auto &l : lost) {
        QCOMPARE(l.at(0).toULongLong(), kept);
        kept += l.at(1).toULongLong();
    }
    QVERIFY(kept > 0 && kept < kSamples);
    QCOMPARE(run.source.missing(), (std::vector<SampleRange>{{0, kept}}));
    const QString check = run.remote.checkAgainstFeed(kept, kSamples - kept, kPerBlock);
    QVERIFY2(check.isEmpty(), qPrintable(check));
    QTRY_VERIFY_WITH_TIMEOUT(!notices.isEmpty(), kTimeout);
    const quint64 firstLoss = lost.at(0).at(1).toULongLong();
    QCOMPARE(notices.at(0).at(0).toString(),
             QStringLiteral("perdidas %1 muestras (0 a %2): no cupieron en la memoria de envío mientras el broker no "
                            "las confirmaba").arg(firstLoss).arg(firstLoss - 1));
    // The bench's own count at its end: what it dropped, no more.
    QTRY_COMPARE_WITH_TIMEOUT(run.publisher.undeliveredSamples(), kept, kTimeout);
}

void TestMqttStream::slowSubscriber_data()
{
    QTest::addColumn<bool>("raw");
    QTest::newRow("sin grabación cruda: el hueco queda") << false;
    QTest::newRow("con grabación cruda: el hueco se llena") << true;
}

// A subscriber stops reading; the broker keeps two messages in flight and two queued for it, and
// drops the rest. When it reads again it asks for what it missed. With only a small memory the
// publisher cannot send that again: the subscriber reports exactly what it never got, and every
// other sample once, in order. With the raw recording the gap is filled from it, asked for a
// piece at a time so that the re-sent samples fit the same small queue.
void TestMqttStream::slowSubscriber()
{
    QFETCH(bool, raw);
    QTemporaryDir folder;
    TestBroker::Options options;
    options.maxInflightMessages = 2;
    options.maxQueuedMessages = 2;
    TestBroker broker(folder.path(), options);
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));

    constexpr quint64 kBatch = MqttPublisher::kBatchSamples;
    constexpr quint64 kSamples = 12 * kBatch;
    TestFeed feed(int(kBatch / 4), 0, 1000); // handed out by the test, a full batch per step(4)
    if (raw)
        feed.setRawFile(folder.filePath("crudo.bin"));
    MqttPublisher publisher(broker.settings(), kTopic, feed.context());
    publisher.setMemoryLimit(2 * kBatch * 2 + 1024); // the newest two batches
    feed.addConsumer(&publisher);

    QProcess receiver;
    receiver.start(QStringLiteral(MQTTPEER_BINARY),
                   {"recibir", QString::number(broker.port()), kTopic,
                    writePasswordFile(folder.path(), TestBroker::kPassword), QString::number(kSamples), "1500"});
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += receiver.readAllStandardOutput()).contains("conectado"), kTimeout);
    publisher.start();
    QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), kTimeout);
    feed.step(2 * 4);
    QTRY_COMPARE_WITH_TIMEOUT(publisher.unacknowledgedSamples(), quint64(0), kTimeout);

    ::kill(pid_t(receiver.processId()), SIGSTOP);
    feed.step(10 * 4); // ten batches: at most four can wait for the stopped subscriber
    QTRY_COMPARE_WITH_TIMEOUT(publisher.unacknowledgedSamples(), quint64(0), kTimeout);
    ::kill(pid_t(receiver.processId()), SIGCONT);

    QTRY_VERIFY2_WITH_TIMEOUT((out += receiver.readAllStandardOutput()).contains("fin "), out.constData(), kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.state(), QProcess::NotRunning, kTimeout);
    QCOMPARE(receiver.exitCode(), 0);
    const ReceiverReport report = ReceiverReport::read(out);
    QCOMPARE(report.end.size(), 5);
    QCOMPARE(report.end.at(4), QByteArray("0")); // every sample handed out was the right one, in order
    QCOMPARE(report.end.at(2).toULongLong() + report.missingCount, kSamples);
    QCOMPARE(report.end.at(3).toULongLong() + report.missingIndexSum, kSamples * (kSamples - 1) / 2);
    if (raw) {
        QCOMPARE(report.end.at(1), QByteArray("1"));
        QCOMPARE(report.missingCount, quint64(0));
    } else {
        QCOMPARE(report.end.at(1), QByteArray("0"));
        QVERIFY(report.missingCount >= 4 * kBatch); // ten sent, four kept for it, two still in memory
    }
}

// A subscriber that comes late asks for the whole session; the publisher's memory holds only
// the newest batch, so the rest is read back from the raw recording. Each sample carries its
// own arrival time, as it would have live: the feed's blocks of 37 give hundreds of time steps
// per original batch, and re-sent batches cut across the original ones.
// Batches sent and then dropped from a full sending memory before the broker confirmed them
// still reach it: the bench's end counts as undelivered only what the broker never got.
void TestMqttStream::droppedOnItsWayButConfirmedIsDelivered()
{
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    constexpr quint64 kBatch = MqttPublisher::kBatchSamples;
    TestFeed feed(int(kBatch), 0, 1000); // handed out by the test, a batch per step
    MqttPublisher publisher(broker.settings(), kTopic, feed.context());
    publisher.setMemoryLimit(2 * kBatch * 2 + 1024); // the newest two batches
    feed.addConsumer(&publisher);
    MqttClient listener(broker.settings(), QStringLiteral("prueba-oyente"));
    listener.subscribe(MqttTopics(kTopic).samples);
    quint64 heard = 0;
    connect(&listener, &MqttClient::messageReceived, this, [&](const QString &, const QByteArray &payload) {
        if (const auto batch = Batch::decode(payload))
            heard += batch->values.size();
    });
    listener.start();
    QTRY_VERIFY_WITH_TIMEOUT(listener.isConnected(), kTimeout);
    publisher.start();
    QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), kTimeout);
    constexpr int kBatches = 2 * MqttPublisher::kWindow;
    feed.step(kBatches); // at once: a window's worth goes out, and most of it leaves the memory on its way
    QTRY_COMPARE_WITH_TIMEOUT(publisher.unacknowledgedSamples(), quint64(0), kTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(heard > 0 && publisher.undeliveredSamples() == kBatches * kBatch - heard, kTimeout);
    QVERIFY2(heard > 2 * kBatch, "more than the memory holds was on its way");
}

void TestMqttStream::resentFromRawKeepArrivalTimes()
{
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));

    constexpr int kBlocksPerBatch = 300; // 11 100 samples, sealed as one batch
    constexpr int kBatches = 5;
    constexpr quint64 kSamples = quint64(kBatches * kBlocksPerBatch) * kPerBlock;
    TestFeed feed(kPerBlock, 0, 1000); // handed out by the test
    feed.setRawFile(folder.filePath("crudo.bin"));
    MqttPublisher publisher(broker.settings(), kTopic, feed.context());
    publisher.setMemoryLimit(MqttPublisher::kBatchSamples * 2 + 1024);
    feed.addConsumer(&publisher);
    QStringList problems;
    QObject::connect(&publisher, &MqttPublisher::problem, &publisher, [&problems](const QString &m) { problems << m; });
    publisher.start();
    QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), kTimeout);
    for (int i = 0; i < kBatches; ++i) { // each acknowledged before the next: none is lost
        feed.step(kBlocksPerBatch);
        QTRY_COMPARE_WITH_TIMEOUT(publisher.unacknowledgedSamples(), quint64(0), kTimeout);
    }

    MqttSource source(broker.settings(), kTopic);
    Collector remote;
    source.addConsumer(&remote);
    QSignalSpy reached(&source, &MqttSource::targetReached);
    source.setTarget(kSamples);
    source.start();
    QTRY_COMPARE_WITH_TIMEOUT(reached.size(), 1, kTimeout);
    QCOMPARE(reached.at(0).at(0).toBool(), true);
    const QString check = remote.checkAgainstFeed(0, kSamples, kPerBlock);
    QVERIFY2(check.isEmpty(), qPrintable(check));
    QVERIFY(source.missing().empty());
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
}

// A request that reaches past the newest sample (a subscriber asking for "everything"): the
// bench sends all it holds, from memory and its raw file, and refuses the rest at once, saying
// where its session stands.
void TestMqttStream::requestPastTheNewestSampleGetsWhatIsHeldAndARefusal()
{
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    constexpr int kBlocksPerBatch = 300;
    constexpr quint64 kSamples = quint64(4 * kBlocksPerBatch) * kPerBlock; // more than one re-sent batch
    TestFeed feed(kPerBlock, 0, 1000);
    feed.setRawFile(folder.filePath("crudo.bin"));
    MqttPublisher publisher(broker.settings(), kTopic, feed.context());
    publisher.setMemoryLimit(MqttPublisher::kBatchSamples * 2 + 1024);
    feed.addConsumer(&publisher);
    publisher.start();
    QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), kTimeout);
    for (int i = 0; i < 4; ++i) {
        feed.step(kBlocksPerBatch);
        QTRY_COMPARE_WITH_TIMEOUT(publisher.unacknowledgedSamples(), quint64(0), kTimeout);
    }

    MqttClient asker(broker.settings(), QStringLiteral("prueba-pedido"));
    asker.subscribe(kTopic + QStringLiteral("/muestras"));
    asker.subscribe(kTopic + QStringLiteral("/pedido"));
    asker.subscribe(kTopic + QStringLiteral("/estado")); // its retained state: the subscriptions are in place
    bool stateHeard = false;
    std::vector<Batch> resent;
    std::vector<ResendRequest> refusals;
    QObject::connect(&asker, &MqttClient::messageReceived, &asker, [&](const QString &topic, const QByteArray &payload) {
        if (topic.endsWith(u"/muestras")) {
            if (auto b = Batch::decode(payload))
                resent.push_back(*b);
        } else if (topic.endsWith(u"/estado")) {
            stateHeard = true;
        } else if (auto r = ResendRequest::fromJson(payload); r && r->unavailable) {
            refusals.push_back(*r);
        }
    });
    asker.start();
    QTRY_VERIFY_WITH_TIMEOUT(stateHeard, kTimeout);
    asker.publish(kTopic + QStringLiteral("/pedido"), ResendRequest{publisher.session(), 0, quint64(1e12)}.toJson(), 1, false);
    const auto covered = [&resent] {
        quint64 n = 0;
        for (const Batch &b : resent)
            n += b.values.size();
        return n;
    };
    QTRY_COMPARE_WITH_TIMEOUT(covered(), kSamples, kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(refusals.size(), size_t(1), kTimeout);
    QCOMPARE(refusals.at(0).first, kSamples);
    QCOMPARE(refusals.at(0).heldEnd, std::optional<quint64>(kSamples));
    quint64 next = 0;
    for (const Batch &b : resent) { // in order, each sample once, the values the feed handed out
        QCOMPARE(b.first, next);
        for (size_t i = 0; i < b.values.size(); ++i)
            QCOMPARE(b.values[i], TestFeed::valueAt(b.first + i));
        next = b.end();
    }
}

QTEST_GUILESS_MAIN(TestMqttStream)
#include "test_mqttstream.moc"
