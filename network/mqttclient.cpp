#include "mqttclient.h"
#include "mqttreasons.h"
#include "tlscontext.h"

#include <QPointer>
#include <QSocketNotifier>

#include <mosquitto.h>

#include <cerrno>
#include <csignal>
#include <mutex>

namespace {

/// The library's own start, once for the process: its result.
int initialiseOnce()
{
    static std::once_flag once;
    static int result = MOSQ_ERR_SUCCESS;
    std::call_once(once, [] {
        result = mosquitto_lib_init();
        // A write to a socket the broker has closed must fail with EPIPE, not end the program.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
    });
    return result;
}

} // namespace

MqttClient::MqttClient(const MqttBroker &broker, const QString &clientId, QObject *parent)
    : QObject(parent), m_broker(broker), m_clientId(clientId), m_libraryStart(initialiseOnce())
{
    if (m_broker.tls())
        m_tls = std::make_unique<TlsContext>(m_broker.caFile, m_broker.host);
    m_miscTimer.setInterval(1000);
    connect(&m_miscTimer, &QTimer::timeout, this, [this] {
        if (m_handle)
            afterLoop(mosquitto_loop_misc(m_handle));
    });
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &MqttClient::attempt);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &MqttClient::deadlinePassed);
    m_starterContext = new QObject;
    m_starterContext->moveToThread(&m_starter);
    m_starter.setObjectName(QStringLiteral("mqtt-connect"));
    m_starter.start();
}

MqttClient::~MqttClient()
{
    // A name lookup in progress finishes first: the handle is in its hands until then.
    m_starter.quit();
    m_starter.wait();
    delete m_starterContext;
    teardown();
}

void MqttClient::setWill(const QString &topic, const QByteArray &payload, bool retain)
{
    m_willTopic = topic;
    m_willPayload = payload;
    m_willRetain = retain;
}

void MqttClient::start()
{
    if (m_state == State::Idle)
        attempt();
}

void MqttClient::retryNow()
{
    if (m_state != State::Waiting)
        return;
    m_retryTimer.stop();
    attempt();
}

void MqttClient::attempt()
{
    ++m_attempts;
    m_state = State::Starting;
    if (m_tls && !m_tls->error().isEmpty()) {
        connectionEnded(Failure::Tls, m_tls->error());
        return;
    }
    QString failure;
    m_handle = newHandle(&failure);
    if (!m_handle) {
        connectionEnded(Failure::Setup, failure);
        return;
    }
    if (m_tls)
        m_tls->clearVerifyError();
    mosquitto *handle = m_handle;
    const QByteArray host = m_broker.host.toUtf8();
    const int port = m_broker.effectivePort();
    QMetaObject::invokeMethod(m_starterContext, [this, handle, host, port] {
        // On the helper thread: the name lookup may block; the connection itself does not.
        const int rc = mosquitto_connect_async(handle, host.constData(), port, kKeepAliveSeconds);
        const int errnum = errno;
        QMetaObject::invokeMethod(this, [this, handle, rc, errnum] { started(handle, rc, errnum); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

void MqttClient::started(mosquitto *handle, int rc, int errnum)
{
    if (handle != m_handle)
        return;
    if (m_state == State::Closing) {
        finishClosing();
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        const QString reason = rc == MOSQ_ERR_EAI ? mqttreasons::lookup(errnum, m_broker.host)
                               : m_tls && m_tls->verifyError() ? mqttreasons::certificate(m_tls->verifyError(), m_broker.host)
                                                               : mqttreasons::library(rc, errnum);
        connectionEnded(rc == MOSQ_ERR_TLS ? Failure::Tls : Failure::Unreachable, reason);
        return;
    }
    // Callbacks only now: none may run on the helper thread.
    mosquitto_connect_with_flags_callback_set(m_handle, &MqttClient::onConnect);
    mosquitto_subscribe_callback_set(m_handle, &MqttClient::onSubscribe);
    mosquitto_unsubscribe_callback_set(m_handle, &MqttClient::onUnsubscribe);
    mosquitto_disconnect_callback_set(m_handle, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(m_handle, &MqttClient::onPublish);
    mosquitto_message_callback_set(m_handle, &MqttClient::onMessage);
    m_state = State::Handshaking;
    if (!m_ending) // else the end's deadline runs
        m_deadline.start(kConnackTimeoutMs);
    m_miscTimer.start();
    watchSocket();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(m_handle);
    m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] {
        if (m_handle)
            afterLoop(mosquitto_loop_read(m_handle, 1));
    });
    m_writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] {
        if (m_handle)
            afterLoop(mosquitto_loop_write(m_handle, 1));
    });
    updateWriteNotifier();
}

void MqttClient::updateWriteNotifier()
{
    // Enabled only while something waits to go out: an always-writable socket would spin.
    if (m_writeNotifier && m_handle)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_handle));
}

void MqttClient::afterLoop(int rc)
{
    const int errnum = errno;
    QPointer<MqttClient> self(this);
    int dropped = -1;
    while (!m_events.empty()) {
        std::vector<Event> events;
        events.swap(m_events);
        for (const Event &e : events) {
            if (!m_handle)
                return; // a slot ended the connection
            if (e.kind == Event::Dropped)
                dropped = e.code;
            else
                handle(e);
            if (!self)
                return;
        }
    }
    if (!m_handle)
        return;
    if (rc != MOSQ_ERR_SUCCESS || dropped >= 0)
        endAfterError(rc, errnum, dropped);
    else
        updateWriteNotifier();
}

void MqttClient::handle(const Event &e)
{
    switch (e.kind) {
    case Event::Connack:
        if (e.code != 0)
            connectionEnded(Failure::Refused, mqttreasons::refusal(e.code));
        else
            becameConnected(e.extra);
        break;
    case Event::Ack: emit acknowledged(e.code); break;
    case Event::Message: emit messageReceived(e.topic, e.payload, e.extra != 0); break;
    case Event::Subscribed: subscriptionAnswered(e.code, e.extra); break;
    case Event::Unsubscribed:
        if (m_state == State::Closing && e.code == m_unsubscribeMid) {
            m_sessionOnBroker = false;
            afterLoop(mosquitto_disconnect(m_handle));
        }
        break;
    case Event::Dropped: break;
    }
}

void MqttClient::endAfterError(int rc, int errnum, int dropped)
{
    if (m_state == State::Closing || m_ending) {
        finishClosing();
        return;
    }
    const int code = rc != MOSQ_ERR_SUCCESS ? rc : dropped;
    const bool closedByBroker = code == MOSQ_ERR_CONN_LOST || (code == MOSQ_ERR_ERRNO && errnum == 0);
    if (m_tls && m_tls->verifyError()) {
        connectionEnded(Failure::Tls, mqttreasons::certificate(m_tls->verifyError(), m_broker.host));
    } else if (m_state == State::Handshaking && m_tls && (code == MOSQ_ERR_TLS || errnum == EPROTO)) {
        connectionEnded(Failure::Tls, QStringLiteral("falló el acuerdo TLS (¿escucha el broker con TLS en ese puerto?)"));
    } else if (m_state == State::Handshaking) {
        connectionEnded(Failure::Unreachable, closedByBroker ? QStringLiteral("el broker cerró la conexión sin aceptarla")
                                                             : mqttreasons::library(code, errnum));
    } else {
        connectionEnded(Failure::Lost, closedByBroker ? QStringLiteral("el broker cerró la conexión")
                                                      : mqttreasons::library(code, errnum));
    }
}

void MqttClient::connectionEnded(Failure kind, const QString &reason)
{
    if (m_state == State::Closing || m_ending) {
        finishClosing();
        return;
    }
    const bool wasConnected = m_state == State::Connected;
    teardown();
    tell(kind, reason);
    m_state = State::Waiting;
    m_retryTimer.start(m_retryMs);
    m_retryMs = qMin(2 * m_retryMs, kLastRetryMs);
    if (wasConnected)
        emit disconnected();
    emit attemptEnded();
}

void MqttClient::finishClosing()
{
    teardown();
    m_state = State::Closed;
    m_ending = false;
    QMetaObject::invokeMethod(this, &MqttClient::closed, Qt::QueuedConnection);
}

void MqttClient::deadlinePassed()
{
    if (m_state == State::Closing || m_ending)
        finishClosing();
    else if (m_state == State::Handshaking)
        connectionEnded(Failure::Unreachable,
                        QStringLiteral("el broker no respondió en %1 s").arg(kConnackTimeoutMs / 1000));
}

void MqttClient::teardown()
{
    // The notifiers go before the socket is closed, so they never watch a closed descriptor.
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_miscTimer.stop();
    m_deadline.stop();
    m_events.clear();
    if (m_handle) {
        mosquitto_destroy(m_handle);
        m_handle = nullptr;
    }
}

void MqttClient::tell(Failure kind, const QString &reason, const QString &topic)
{
    const unsigned bit = 1u << unsigned(kind);
    if (m_told & bit)
        return;
    m_told |= bit;
    emit failed(kind, sentence(kind, reason, topic));
}

QString MqttClient::sentence(Failure kind, const QString &reason, const QString &topic) const
{
    const QString retry = QStringLiteral("Se reintentará (hasta cada %1 s)").arg(kLastRetryMs / 1000);
    const QString onTopic = topic.isEmpty() ? QString() : QStringLiteral(" %1").arg(topic);
    switch (kind) {
    case Failure::Unreachable:
        return QStringLiteral("MQTT: no se puede conectar con el broker %1: %2. Se reintentará, cada vez más espaciado "
                              "(hasta cada %3 s).").arg(m_broker.name(), reason, QString::number(kLastRetryMs / 1000));
    case Failure::Lost: {
        // What happens to what passes meanwhile depends on who we are.
        const QString tail = m_role == Role::Publisher ? QStringLiteral("; lo no confirmado se volverá a enviar.")
                             : m_persistent ? QStringLiteral("; mientras tanto, el broker guarda lo que se publique "
                                                             "(dentro de sus límites de cola).")
                                            : QStringLiteral(".");
        return QStringLiteral("MQTT: se perdió la conexión con el broker %1: %2. %3%4").arg(m_broker.name(), reason, retry, tail);
    }
    case Failure::Refused:
        return QStringLiteral("MQTT: el broker %1 rechazó la conexión: %2. %3.").arg(m_broker.name(), reason, retry);
    case Failure::Tls:
        return QStringLiteral("MQTT: no se puede establecer una conexión segura (TLS) con el broker %1: %2. %3.")
            .arg(m_broker.name(), reason, retry);
    case Failure::Setup:
        return QStringLiteral("MQTT: no se puede preparar la conexión con el broker %1: %2. %3.")
            .arg(m_broker.name(), reason, retry);
    case Failure::Subscribe:
        return QStringLiteral("MQTT: falló la suscripción%1 en el broker %2: %3.").arg(onTopic, m_broker.name(), reason);
    case Failure::Publish:
        return QStringLiteral("MQTT: no se pudo publicar en%1 (broker %2): %3.").arg(onTopic, m_broker.name(), reason);
    }
    return reason;
}

int MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (m_state != State::Connected)
        return -1;
    int mid = -1;
    const int rc = mosquitto_publish(m_handle, &mid, topic.toUtf8().constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    updateWriteNotifier();
    // A QoS 0 message written at once is confirmed by then; told on the next turn of the event
    // loop (not from within this call), rather than at the socket's next event, which may be far.
    if (!m_events.empty() && !m_dispatchQueued) {
        m_dispatchQueued = true;
        QMetaObject::invokeMethod(this, [this] {
            m_dispatchQueued = false;
            if (m_handle)
                afterLoop(MOSQ_ERR_SUCCESS);
        }, Qt::QueuedConnection);
    }
    if (rc == MOSQ_ERR_SUCCESS)
        return mid;
    if (rc != MOSQ_ERR_NO_CONN) // a loss, told as such when it is noticed
        tell(Failure::Publish, mqttreasons::library(rc, errno), topic);
    return -1;
}

void MqttClient::onConnect(mosquitto *, void *self, int rc, int flags)
{
    static_cast<MqttClient *>(self)->m_events.push_back({Event::Connack, rc, flags, {}, {}});
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc)
{
    static_cast<MqttClient *>(self)->m_events.push_back({Event::Dropped, rc, 0, {}, {}});
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    static_cast<MqttClient *>(self)->m_events.push_back({Event::Ack, mid, 0, {}, {}});
}

void MqttClient::onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted)
{
    // One topic per SUBSCRIBE, so one answer.
    static_cast<MqttClient *>(self)->m_events.push_back({Event::Subscribed, mid, count > 0 ? granted[0] : 0x80, {}, {}});
}

void MqttClient::onUnsubscribe(mosquitto *, void *self, int mid)
{
    static_cast<MqttClient *>(self)->m_events.push_back({Event::Unsubscribed, mid, 0, {}, {}});
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *m)
{
    static_cast<MqttClient *>(self)->m_events.push_back(
        {Event::Message, m->mid, m->retain ? 1 : 0, QString::fromUtf8(m->topic),
         QByteArray(static_cast<const char *>(m->payload), m->payloadlen)});
}
