// MqttClient: what a connection asks of the broker (the library handle with its session, will,
// credentials and TLS), what the broker holds for this client (the session and its
// subscriptions), and the goodbye that takes them back.
#include "mqttclient.h"
#include "mqttreasons.h"
#include "tlscontext.h"

#include <mosquitto.h>

#include <cerrno>

void MqttClient::subscribe(const QString &topic, int qos)
{
    m_subscriptions.push_back({topic, qos});
    if (m_state == State::Connected)
        sendSubscriptions();
}

void MqttClient::setPersistentSession(const QString &clientId)
{
    m_clientId = clientId;
    m_persistent = true;
}

void MqttClient::becameConnected(int flags)
{
    m_state = State::Connected;
    m_retryMs = kFirstRetryMs;
    m_told = 0;
    // Only a session kept since our last connection holds our subscriptions: subscribing again
    // would have the broker send its retained messages again, among the queued ones.
    m_sessionPresent = m_persistent && (flags & 1);
    m_sessionOnBroker = m_persistent;
    for (Subscription &s : m_subscriptions) {
        s.pendingMid = 0; // an answer from the last connection will never come
        s.held = s.held && m_sessionPresent;
    }
    if (m_ending) {
        sayGoodbye();
        return;
    }
    m_deadline.stop();
    sendSubscriptions();
    emit connected();
}

void MqttClient::sendSubscriptions()
{
    for (Subscription &s : m_subscriptions) {
        if (s.held || s.pendingMid)
            continue;
        const int rc = mosquitto_subscribe(m_handle, &s.pendingMid, s.topic.toUtf8().constData(), s.qos);
        if (rc != MOSQ_ERR_SUCCESS) {
            s.pendingMid = 0;
            if (rc != MOSQ_ERR_NO_CONN) // a loss, told as such
                tell(Failure::Subscribe, mqttreasons::library(rc, errno), s.topic);
        }
    }
    updateWriteNotifier();
}

void MqttClient::subscriptionAnswered(int mid, int granted)
{
    for (Subscription &s : m_subscriptions) {
        if (s.pendingMid != mid)
            continue;
        s.pendingMid = 0;
        s.held = granted <= 2;
        if (!s.held) // 0x80: the broker refused it (its access list, say)
            tell(Failure::Subscribe, QStringLiteral("el broker no lo permite (¿tiene permiso el usuario para ese tema?)"),
                 s.topic);
    }
}

void MqttClient::disconnectFromBroker()
{
    m_retryTimer.stop();
    if (m_state == State::Closing || m_state == State::Closed || m_ending)
        return;
    if (m_persistent && m_sessionOnBroker && m_state != State::Connected && m_state != State::Idle) {
        // Our session there would go on queuing for nobody: one last try, only to take the
        // subscriptions back.
        m_ending = true;
        m_deadline.start(kCloseTimeoutMs);
        if (m_state == State::Waiting)
            attempt();
        return;
    }
    if (m_state == State::Starting) {
        m_state = State::Closing; // started() finishes it
        return;
    }
    if (m_state != State::Connected) {
        m_state = State::Closing;
        finishClosing();
        return;
    }
    m_deadline.start(kCloseTimeoutMs);
    sayGoodbye();
}

void MqttClient::sayGoodbye()
{
    m_state = State::Closing;
    if (m_persistent && !m_subscriptions.empty()) {
        std::vector<QByteArray> topics;
        std::vector<char *> pointers;
        for (const Subscription &s : m_subscriptions)
            topics.push_back(s.topic.toUtf8());
        for (QByteArray &t : topics)
            pointers.push_back(t.data());
        const int rc = mosquitto_unsubscribe_multiple(m_handle, &m_unsubscribeMid, int(pointers.size()),
                                                      pointers.data(), nullptr);
        if (rc == MOSQ_ERR_SUCCESS) {
            updateWriteNotifier(); // the confirmation says goodbye
            return;
        }
        tell(Failure::Subscribe, mqttreasons::library(rc, errno), topics.size() == 1 ? m_subscriptions[0].topic : QString());
    }
    afterLoop(mosquitto_disconnect(m_handle));
}

mosquitto *MqttClient::newHandle(QString *failure)
{
    if (m_libraryStart != MOSQ_ERR_SUCCESS) {
        *failure = QStringLiteral("no se pudo iniciar la biblioteca MQTT: %1").arg(mqttreasons::library(m_libraryStart, 0));
        return nullptr;
    }
    // An empty id never reaches the library: it refuses it only after clearing its handle, and
    // then closes descriptor 0, which by then belongs to someone else. Without an id of ours a
    // clean session gets one from the library; a persistent session cannot be found again.
    if (m_clientId.isEmpty() && m_persistent) {
        *failure = QStringLiteral("una sesión persistente necesita un identificador de cliente");
        return nullptr;
    }
    const QByteArray id = m_clientId.toUtf8();
    mosquitto *h = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), !m_persistent, this);
    if (!h) {
        *failure = errno == EINVAL ? QStringLiteral("el identificador de cliente «%1» no vale").arg(m_clientId)
                                   : mqttreasons::system(errno);
        return nullptr;
    }
    // Each step names itself; the first that fails stops the attempt: a connection without
    // its will, its credentials or its TLS context would not be the one asked for.
    const auto failed = [&](int rc, const QString &step) {
        if (rc == MOSQ_ERR_SUCCESS)
            return false;
        *failure = QStringLiteral("%1: %2").arg(step, mqttreasons::library(rc, errno));
        mosquitto_destroy(h);
        return true;
    };
    if (failed(mosquitto_int_option(h, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311),
               QStringLiteral("no se pudo elegir la versión 3.1.1 del protocolo"))
        || failed(mosquitto_int_option(h, MOSQ_OPT_TCP_NODELAY, 1),
                  QStringLiteral("no se pudo pedir el envío sin demora (TCP_NODELAY)")))
        return nullptr;
    if (!m_willTopic.isEmpty()
        && failed(mosquitto_will_set(h, m_willTopic.toUtf8().constData(), int(m_willPayload.size()),
                                     m_willPayload.constData(), 1, m_willRetain),
                  QStringLiteral("no se pudo dejar el mensaje de despedida en %1").arg(m_willTopic)))
        return nullptr;
    if (!m_broker.user.isEmpty()
        && failed(mosquitto_username_pw_set(h, m_broker.user.toUtf8().constData(),
                                            m_broker.password.isEmpty() ? nullptr : m_broker.password.constData()),
                  QStringLiteral("no se pudo dar el usuario «%1» y su clave").arg(m_broker.user)))
        return nullptr;
    if (m_tls
        && (failed(mosquitto_void_option(h, MOSQ_OPT_SSL_CTX, m_tls->context()),
                   QStringLiteral("no se pudo preparar la conexión segura (TLS)"))
            || failed(mosquitto_int_option(h, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0),
                      QStringLiteral("no se pudo preparar la conexión segura (TLS)"))))
        return nullptr;
    return h;
}
