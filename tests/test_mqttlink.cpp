// The connection to the broker, against a real Mosquitto of the test's own: refusals told once,
// clearly; a persistent session that keeps what comes while the client is away, and a clean end
// that leaves nothing queuing; the retained state when a publisher ends cleanly. A broker that
// starts late and a publisher killed with SIGKILL are tested end to end (test_remotebench,
// test_remotestate).
#include "mqttpublisher.h"
#include "mqttsource.h"
#include "mqtttestsupport.h"
#include "testproxy.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>


namespace {

constexpr int kTimeout = 20000;
const QString kTopic = QStringLiteral("banco/dos");

/// What was told of the first lost connection (empty: none was told).
QString lostMessage(const QSignalSpy &failed)
{
    for (const QList<QVariant> &f : failed)
        if (f.at(0).value<MqttClient::Failure>() == MqttClient::Failure::Lost)
            return f.at(1).toString();
    return {};
}

} // namespace

class TestMqttLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refused_data();
    void refused();
    void failuresOfTheLibraryAndTheBrokerAreTold_data();
    void failuresOfTheLibraryAndTheBrokerAreTold();
    void persistentSessionGetsWhatWasPublishedWhileAway_data();
    void persistentSessionGetsWhatWasPublishedWhileAway();
    void cleanEndLeavesNothingQueuing_data();
    void cleanEndLeavesNothingQueuing();
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

void TestMqttLink::failuresOfTheLibraryAndTheBrokerAreTold_data()
{
    QTest::addColumn<QString>("act");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("said");
    QTest::addColumn<bool>("connects");
    const auto setup = int(MqttClient::Failure::Setup), subscribe = int(MqttClient::Failure::Subscribe);
    QTest::newRow("will on a topic with a wildcard")
        << "will" << setup << "no se pudo dejar el mensaje de despedida en banco/+/estado: valor no válido" << false;
    QTest::newRow("persistent session without an id")
        << "id" << setup << "una sesión persistente necesita un identificador de cliente" << false;
    QTest::newRow("subscription to a malformed filter")
        << "filter" << subscribe << "falló la suscripción banco/#/x en el broker" << true;
    QTest::newRow("publication on a wildcard topic")
        << "publish" << int(MqttClient::Failure::Publish) << "no se pudo publicar en banco/+" << true;
}

// A library call that fails or a broker that refuses a subscription is told once, naming what
// and why; a connection that could not be prepared as asked is not made at all.
void TestMqttLink::failuresOfTheLibraryAndTheBrokerAreTold()
{
    QFETCH(QString, act);
    QFETCH(int, kind);
    QFETCH(QString, said);
    QFETCH(bool, connects);
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    MqttClient client(broker.settings(), QStringLiteral("prueba-fallos"));
    if (act == u"will")
        client.setWill(QStringLiteral("banco/+/estado"), "fuera", true);
    else if (act == u"id")
        client.setPersistentSession(QString());
    client.subscribe(act == u"filter" ? QStringLiteral("banco/#/x") : kTopic);
    QSignalSpy failed(&client, &MqttClient::failed);
    client.start();
    if (connects) {
        QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kTimeout);
        if (act == u"publish")
            QCOMPARE(client.publish(QStringLiteral("banco/+"), "x", 1, false), -1);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(client.connectionAttempts() >= 2, kTimeout);
        QVERIFY(!client.isConnected());
    }
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kTimeout);
    QCOMPARE(failed.at(0).at(0).value<MqttClient::Failure>(), MqttClient::Failure(kind));
    const QString message = failed.at(0).at(1).toString();
    QVERIFY2(message.contains(said) && message.contains(QStringLiteral("127.0.0.1:%1").arg(broker.port())),
             qPrintable(message));
}

void TestMqttLink::persistentSessionGetsWhatWasPublishedWhileAway_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("connection dropped") << false;
    QTest::newRow("connection dropped and the broker restarted") << true;
}

// A persistent client away from the broker gets, when it is back, the QoS 1 messages published
// meanwhile, from the broker (which saves them across its restart), in order; the broker kept
// its subscription, so the retained message it had at first does not come again.
void TestMqttLink::persistentSessionGetsWhatWasPublishedWhileAway()
{
    QFETCH(bool, restart);
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    TestProxy proxy(broker.port());
    QVERIFY(proxy.port());
    const QString topic = kTopic + QStringLiteral("/muestras");
    MqttClient sender(broker.settings(), QStringLiteral("prueba-envio"));
    QSignalSpy sent(&sender, &MqttClient::acknowledged);
    sender.start();
    QTRY_VERIFY_WITH_TIMEOUT(sender.isConnected(), kTimeout);
    QVERIFY(sender.publish(topic, "retenido", 1, true) >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 1, kTimeout);

    MqttBroker throughProxy = broker.settings();
    throughProxy.port = proxy.port();
    MqttClient recorder(throughProxy, QStringLiteral("no-se-usa"));
    recorder.setPersistentSession(recorderClientId(kTopic, {"/tmp/prueba.csv"}));
    recorder.setRole(MqttClient::Role::Subscriber);
    recorder.subscribe(topic);
    QSignalSpy received(&recorder, &MqttClient::messageReceived);
    QSignalSpy failed(&recorder, &MqttClient::failed);
    recorder.start();
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kTimeout);
    QCOMPARE(received.at(0).at(1).toByteArray(), QByteArray("retenido"));
    QVERIFY(received.at(0).at(2).toBool());
    QVERIFY(!recorder.sessionPresent());

    proxy.cut(true);
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.isConnected(), kTimeout);
    QList<QByteArray> away;
    for (int i = 0; i < 10; ++i) {
        away << "mientras " + QByteArray::number(i);
        QVERIFY(sender.publish(topic, away.last(), 1, false) >= 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 11, kTimeout); // the broker has them
    if (restart) {
        broker.stop();
        started = broker.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
    }
    proxy.release();
    QTRY_VERIFY_WITH_TIMEOUT((recorder.retryNow(), recorder.isConnected()), kTimeout);
    QVERIFY(recorder.sessionPresent());
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 11, kTimeout);
    QTRY_VERIFY_WITH_TIMEOUT((sender.retryNow(), sender.isConnected()), kTimeout);
    QVERIFY(sender.publish(topic, "después", 1, false) >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 12, kTimeout);
    QList<QByteArray> got;
    for (int i = 1; i < received.size(); ++i) {
        got << received.at(i).at(1).toByteArray();
        QVERIFY(!received.at(i).at(2).toBool());
    }
    QCOMPARE(got, away + QList<QByteArray>{"después"});

    // Told as a recorder's loss: it has nothing of its own to send again.
    const QString message = lostMessage(failed);
    QVERIFY2(message.contains(QStringLiteral("el broker guarda lo que se publique")) && !message.contains(u"volverá a enviar"),
             qPrintable(message));
}

void TestMqttLink::cleanEndLeavesNothingQueuing_data()
{
    QTest::addColumn<bool>("whileAway");
    QTest::newRow("ended while connected") << false;
    QTest::newRow("ended while its connection was lost") << true;
}

// A persistent client that ends cleanly takes its subscriptions back first (even when its
// connection was lost then: one last try), so the broker queues nothing more for it.
void TestMqttLink::cleanEndLeavesNothingQueuing()
{
    QFETCH(bool, whileAway);
    QTemporaryDir folder;
    TestBroker broker(folder.path(), {});
    const QString started = broker.start();
    QVERIFY2(started.isEmpty(), qPrintable(started));
    TestProxy proxy(broker.port());
    QVERIFY(proxy.port());
    MqttBroker throughProxy = broker.settings();
    throughProxy.port = proxy.port();
    const QString topic = kTopic + QStringLiteral("/muestras"), id = recorderClientId(kTopic, {"/tmp/prueba.csv"});
    MqttClient sender(broker.settings(), QStringLiteral("prueba-envio"));
    QSignalSpy sent(&sender, &MqttClient::acknowledged);
    sender.start();
    QTRY_VERIFY_WITH_TIMEOUT(sender.isConnected(), kTimeout);
    {
        MqttClient recorder(throughProxy, QStringLiteral("no-se-usa"));
        recorder.setPersistentSession(id);
        recorder.subscribe(topic);
        QSignalSpy received(&recorder, &MqttClient::messageReceived);
        QSignalSpy closed(&recorder, &MqttClient::closed);
        recorder.start();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.isConnected(), kTimeout);
        QVERIFY(sender.publish(topic, "antes", 1, false) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kTimeout); // subscribed
        if (whileAway) {
            proxy.cut(true);
            QTRY_VERIFY_WITH_TIMEOUT(!recorder.isConnected() && !recorder.isConnecting(), kTimeout);
            proxy.release();
        }
        recorder.disconnectFromBroker();
        QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, kTimeout);
    }
    QVERIFY(sender.publish(topic, "después del final", 1, false) >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 2, kTimeout);

    MqttClient again(broker.settings(), QStringLiteral("no-se-usa"));
    again.setPersistentSession(id);
    again.subscribe(topic);
    QSignalSpy received(&again, &MqttClient::messageReceived);
    again.start();
    QTRY_VERIFY_WITH_TIMEOUT(again.isConnected(), kTimeout);
    QVERIFY(again.sessionPresent()); // the session is there, with nothing for it
    // Retained, so it comes whether the subscription is made before it or after; anything
    // queued would have come first.
    QVERIFY(sender.publish(topic, "marca", 1, true) >= 0);
    QTRY_VERIFY_WITH_TIMEOUT(!received.isEmpty() && received.last().at(1).toByteArray() == "marca", kTimeout);
    QCOMPARE(received.size(), 1);
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
