#pragma once

#include "mqttbroker.h"

#include <QObject>
#include <QThread>
#include <QTimer>

#include <memory>
#include <vector>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;
class TlsContext;

/// One connection to an MQTT broker over libmosquitto, driven by the Qt event loop: socket
/// notifiers for reading and writing, a timer for keep-alive. Only the name lookup and the
/// start of the connection run on a helper thread, so that a slow name server never holds up
/// the caller's thread. Reconnects by itself after 1 s, doubling up to 30 s. Each connection has
/// a new library handle: whatever was not acknowledged before a loss is the caller's to send
/// again. By default every connection starts a clean session; a persistent one
/// (setPersistentSession) has the broker keep the subscriptions and queue QoS 1 messages while
/// the client is away.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    static constexpr int kKeepAliveSeconds = 15;
    static constexpr int kConnackTimeoutMs = 15000;
    static constexpr int kCloseTimeoutMs = 5000;

    /// What failed; each kind is told once until a connection succeeds again. Setup: the client
    /// library could not prepare a connection (nothing is sent then); Subscribe: a subscription
    /// (or taking one back) failed or the broker refused it; Publish: a message was not sent.
    enum class Failure { Unreachable, Lost, Refused, Tls, Setup, Subscribe, Publish };
    Q_ENUM(Failure)

    /// Publisher: what was not acknowledged is sent again after a loss (the caller's promise,
    /// said when the connection is lost). Subscriber: sends nothing of its own to keep.
    enum class Role { Publisher, Subscriber };

    MqttClient(const MqttBroker &broker, const QString &clientId, QObject *parent = nullptr);
    ~MqttClient() override;

    /// The message the broker publishes (QoS 1) if this client goes without saying goodbye.
    void setWill(const QString &topic, const QByteArray &payload, bool retain);
    /// Subscribes on every connection from now on (where the broker kept the session, only
    /// what it does not hold yet).
    void subscribe(const QString &topic, int qos = 1);
    /// Before start(): connect with clean session off under this stable client id, so that the
    /// broker keeps the subscriptions and queues QoS 1 messages while the client is away (and,
    /// with its persistence, across its restart). A lost connection keeps the session; a clean
    /// end (disconnectFromBroker) takes the subscriptions back first.
    void setPersistentSession(const QString &clientId);
    /// Only what the failure messages say after a loss (default: Publisher).
    void setRole(Role role) { m_role = role; }
    /// Starts connecting; failures are told through failed() and retried.
    void start();
    /// Sends what is queued, then says goodbye (the will is not published); closed() follows.
    /// A persistent client first takes back its subscriptions and waits for the broker to
    /// confirm (within kCloseTimeoutMs), so that nothing queues for it afterwards; one that is
    /// not connected then makes one last try for it.
    void disconnectFromBroker();
    /// Whether the broker still held this client's session at the last connection (its
    /// subscriptions live on, and what was queued meanwhile follows). Valid from connected().
    bool sessionPresent() const { return m_sessionPresent; }

    bool isConnected() const { return m_state == State::Connected; }
    /// A connection is being made now (not waiting for the next try).
    bool isConnecting() const { return m_state == State::Starting || m_state == State::Handshaking; }
    /// Waiting for the next try: try now instead (a clean end wants one last chance).
    void retryNow();
    /// Publishes now: the message id (acknowledged() follows for QoS 1), or -1 when not connected
    /// or when the library refused it (told through failed(), as Publish).
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    /// Attempts to connect so far (the first included).
    int connectionAttempts() const { return m_attempts; }
    QString brokerName() const { return m_broker.name(); }

signals:
    void connected();
    /// A connection that was up has ended by itself (attempts that never connected are not said here).
    void disconnected();
    void acknowledged(int mid);
    /// retained: the broker sent it because of a new subscription (it kept it for that topic),
    /// not because it was published now.
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
    /// A failure, in Spanish, naming the broker and the reason.
    void failed(MqttClient::Failure kind, const QString &message);
    /// After disconnectFromBroker(): the goodbye went out (or there was no connection).
    void closed();
    /// An attempt to connect, or a connection, ended; the next try is waited for.
    void attemptEnded();

private:
    enum class State { Idle, Waiting, Starting, Handshaking, Connected, Closing, Closed };
    struct Event
    {
        enum Kind { Connack, Ack, Message, Dropped, Subscribed, Unsubscribed } kind;
        int code = 0;  // CONNACK code, message id, or the library's reason for a drop
        int extra = 0; // CONNACK flags, granted QoS, retain flag
        QString topic;
        QByteArray payload;
    };
    struct Subscription
    {
        QString topic;
        int qos = 1;
        int pendingMid = 0; // subscribed, not yet confirmed
        bool held = false;  // the broker confirmed it within the present session
    };

    void attempt();
    void started(mosquitto *handle, int rc, int errnum);
    mosquitto *newHandle(QString *failure);
    void watchSocket();
    void afterLoop(int rc);
    bool dispatch();
    void handle(const Event &e);
    void becameConnected(int flags);
    void sendSubscriptions();
    void subscriptionAnswered(int mid, int granted);
    void sayGoodbye();
    void endAfterError(int rc, int errnum, int dropped);
    void connectionEnded(Failure kind, const QString &reason);
    void finishClosing();
    void deadlinePassed();
    void teardown();
    void tell(Failure kind, const QString &reason, const QString &topic = {});
    QString sentence(Failure kind, const QString &reason, const QString &topic) const;
    void updateWriteNotifier();

    static void onConnect(mosquitto *, void *self, int rc, int flags);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted);
    static void onUnsubscribe(mosquitto *, void *self, int mid);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    MqttBroker m_broker;
    QString m_clientId;
    int m_libraryStart; // what mosquitto_lib_init said
    QString m_willTopic;
    QByteArray m_willPayload;
    bool m_willRetain = false;
    std::vector<Subscription> m_subscriptions;
    Role m_role = Role::Publisher;
    bool m_persistent = false;
    bool m_sessionPresent = false;
    bool m_sessionOnBroker = false; // a persistent session of ours may hold subscriptions there
    bool m_dispatchQueued = false; // events a publish brought are handed out on the next turn
    bool m_ending = false;          // disconnectFromBroker() while not connected: one last try
    int m_unsubscribeMid = 0;       // the goodbye waits for this confirmation
    std::unique_ptr<TlsContext> m_tls;

    State m_state = State::Idle;
    mosquitto *m_handle = nullptr;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_miscTimer;
    QTimer m_retryTimer;
    QTimer m_deadline; // for the broker's answer, and for the goodbye to go out
    QThread m_starter; // name lookup and connection start, off the caller's thread
    QObject *m_starterContext = nullptr;
    int m_retryMs = kFirstRetryMs;
    int m_attempts = 0;
    unsigned m_told = 0; // one bit per Failure told since the last connection
    std::vector<Event> m_events; // gathered inside library callbacks, handed out after them
};
