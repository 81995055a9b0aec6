// Samples from a publisher to a remote source through a real Mosquitto of the test's own: the
// round trip, a broker that goes away mid-run, memory running out, a subscriber the broker
// drops messages for.
#include "mqttpublisher.h"
#include "mqttsource.h"
#include "mqtttestsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

constexpr int kTimeout = 20000;
constexpr int kPerBlock = 37; // not a divisor of anything, so batches cut blocks

} // namespace

class TestMqttStream : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();

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

QTEST_GUILESS_MAIN(TestMqttStream)
#include "test_mqttstream.moc"
