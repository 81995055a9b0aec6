// The connection to the broker, against a real Mosquitto of the test's own: refusals told once,
// clearly; the retained state when a publisher ends cleanly. A broker that starts late and a
// publisher killed with SIGKILL are tested end to end (test_remotebench, test_remotestate).
#include "mqttpublisher.h"
#include "mqttsource.h"
#include "mqtttestsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>


namespace {

constexpr int kTimeout = 20000;
const QString kTopic = QStringLiteral("banco/dos");

} // namespace

class TestMqttLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refused_data();
    void refused();
    void stateAndCleanEnd();

private:
    QTemporaryDir m_certFolder;
    TestCertificates m_certs;
};

void TestMqttLink::initTestCase()
{
    QVERIFY(m_certFolder.isValid());
    const QString error = m_certs.make(m_certFolder.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestMqttLink::refused_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("otherHost");
    QTest::addColumn<QString>("ca");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    const auto unreachable = int(MqttClient::Failure::Unreachable);
    const auto refusedKind = int(MqttClient::Failure::Refused);
    const auto tlsKind = int(MqttClient::Failure::Tls);
    QTest::newRow("sin broker") << false << false << false << QString() << TestBroker::kPassword << unreachable
                                << QStringLiteral("conexión rechazada: no hay ningún broker escuchando en ese puerto");
    QTest::newRow("contraseña equivocada") << true << false << false << QString() << QByteArray("otra-clave")
                                           << refusedKind << QStringLiteral("usuario o contraseña rechazados");
    QTest::newRow("CA equivocada") << true << true << false << QStringLiteral("otraca.pem") << TestBroker::kPassword
                                   << tlsKind
                                   << QStringLiteral("el certificado del broker no está firmado por la autoridad "
                                                     "del archivo de --mqtt-ca");
    QTest::newRow("certificado de otra máquina")
        << true << true << true << QStringLiteral("ca.pem") << TestBroker::kPassword << tlsKind
        << QStringLiteral("el certificado del broker no es para «127.0.0.1» (es de otra máquina)");
}

// Each refusal is told once, in Spanish, naming the broker and the reason, however many times
// the client tries again; the password never appears in it.
void TestMqttLink::refused()
{
    QFETCH(bool, running);
    QFETCH(bool, tls);
    QFETCH(bool, otherHost);
    QFETCH(QString, ca);
    QFETCH(QByteArray, password);
    QFETCH(int, kind);
    QFETCH(QString, reason);
    QTemporaryDir folder;
    TestBroker::Options options;
    options.tls = tls ? &m_certs : nullptr;
    options.otherHostCertificate = otherHost;
    TestBroker broker(folder.path(), options);
    if (running) {
        const QString started = broker.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
    }
    MqttBroker settings = broker.settings();
    settings.password = password;
    if (!ca.isEmpty())
        settings.caFile = m_certFolder.filePath(ca);
    MqttClient client(settings, QStringLiteral("prueba-rechazo"));
    QSignalSpy failed(&client, &MqttClient::failed);
    QSignalSpy connected(&client, &MqttClient::connected);
    client.start();
    QTRY_VERIFY_WITH_TIMEOUT(client.connectionAttempts() >= 2, kTimeout); // told after the first only
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kTimeout);
    QCOMPARE(failed.at(0).at(0).value<MqttClient::Failure>(), MqttClient::Failure(kind));
    const QString message = failed.at(0).at(1).toString();
    QVERIFY2(message.contains(QStringLiteral("127.0.0.1:%1").arg(broker.port())), qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    QVERIFY(!message.contains(QString::fromUtf8(password)));
    QCOMPARE(connected.size(), 0);
}

// The device lost and back, a summary a dashboard can read, and a clean end that leaves the
// retained state "fuera de línea" (the will does not fire on a clean goodbye: it is said).
void TestMqttLink::stateAndCleanEnd()
{
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    MqttSource watcher(broker.settings(), kTopic);
    QSignalSpy states(&watcher, &MqttSource::stateChanged);
    MqttClient summaries(broker.settings(), QStringLiteral("prueba-resumen"));
    summaries.subscribe(kTopic + QStringLiteral("/resumen"));
    QSignalSpy summaryMessages(&summaries, &MqttClient::messageReceived);
    watcher.start();
    summaries.start();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.client().isConnected() && summaries.isConnected(), kTimeout);

    constexpr quint64 kSamples = 5000;
    TestFeed feed(50, 1, 5);
    MqttPublisher publisher(broker.settings(), kTopic, feed.context());
    feed.addConsumer(&publisher);
    QSignalSpy finished(&publisher, &MqttPublisher::finished);
    publisher.start();
    feed.start(kSamples);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kOnline, kTimeout);
    publisher.setDeviceOpen(false);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kDeviceLost, kTimeout);
    publisher.setDeviceOpen(true);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kOnline, kTimeout);

    // Once everything is out, a summary says how many samples there are and the newest value.
    QTRY_VERIFY_WITH_TIMEOUT(feed.emitted() == kSamples, kTimeout);
    const auto latest = [&] {
        return summaryMessages.isEmpty() ? std::nullopt
                                         : SessionSummary::fromJson(summaryMessages.last().at(1).toByteArray());
    };
    QTRY_VERIFY_WITH_TIMEOUT(latest() && latest()->samples == kSamples, kTimeout);
    QCOMPARE(latest()->session, publisher.session());
    QCOMPARE(latest()->last, int(TestFeed::valueAt(kSamples - 1)));

    publisher.finish();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.publisherState(), MqttPublisher::kOffline, kTimeout);
    QStringList seen;
    for (const auto &s : states)
        seen << s.at(0).toString();
    QCOMPARE(seen, (QStringList{MqttPublisher::kOnline, MqttPublisher::kDeviceLost, MqttPublisher::kOnline,
                                MqttPublisher::kOffline}));
    // A recorder that comes after the end finds the session over, says so, and waits for another.
    MqttSource late(broker.settings(), kTopic);
    QSignalSpy lateProblems(&late, &MqttSource::problem);
    late.start();
    QTRY_COMPARE_WITH_TIMEOUT(lateProblems.size(), 1, kTimeout);
    QCOMPARE(lateProblems.at(0).at(0).toString(),
             QStringLiteral("La sesión %1 de %2 ya terminó; se espera a que el banco empiece una nueva.")
                 .arg(publisher.session()).arg(kTopic));
    QCOMPARE(late.session(), quint64(0));
}

QTEST_GUILESS_MAIN(TestMqttLink)
#include "test_mqttlink.moc"
