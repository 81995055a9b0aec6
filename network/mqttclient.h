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
/// the caller's thread. Reconnects by itself after 1 s, doubling up to 30 s. Every connection
/// starts afresh (clean session, a new library handle): whatever was not acknowledged before
/// a loss is the caller's to send again.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    static constexpr int kKeepAliveSeconds = 15;
    static constexpr int kConnackTimeoutMs = 15000;
    static constexpr int kCloseTimeoutMs = 5000;

    /// What failed; each kind is told once until a connection succeeds again.
    enum class Failure { Unreachable, Lost, Refused, Tls };
    Q_ENUM(Failure)

    MqttClient(const MqttBroker &broker, const QString &clientId, QObject *parent = nullptr);
    ~MqttClient() override;

    /// The message the broker publishes (QoS 1) if this client goes without saying goodbye.
    void setWill(const QString &topic, const QByteArray &payload, bool retain);
    /// Subscribes on every connection from now on.
    void subscribe(const QString &topic, int qos = 1);
    /// Starts connecting; failures are told through failed() and retried.
    void start();
    /// Sends what is queued, then says goodbye (the will is not published); closed() follows.
    void disconnectFromBroker();

    bool isConnected() const { return m_state == State::Connected; }
    /// A connection is being made now (not waiting for the next try).
    bool isConnecting() const { return m_state == State::Starting || m_state == State::Handshaking; }
    /// Waiting for the next try: try now instead (a clean end wants one last chance).
    void retryNow();
    /// Publishes now: the message id (acknowledged() follows for QoS 1), or -1 when not connected.
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain);
    /// Attempts to connect so far (the first included).
    int connectionAttempts() const { return m_attempts; }
    QString brokerName() const { return m_broker.name(); }

signals:
    void connected();
    /// A connection that was up has ended by itself (attempts that never connected are not said here).
    void disconnected();
    void acknowledged(int mid);
    void messageReceived(const QString &topic, const QByteArray &payload);
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
        enum Kind { Connack, Ack, Message, Dropped } kind;
        int code = 0;
        QString topic;
        QByteArray payload;
    };

    void attempt();
    void started(mosquitto *handle, int rc, int errnum);
    mosquitto *newHandle();
    void watchSocket();
    void afterLoop(int rc);
    bool dispatch();
    void becameConnected();
    void endAfterError(int rc, int errnum, int dropped);
    void connectionEnded(Failure kind, const QString &reason);
    void finishClosing();
    void deadlinePassed();
    void teardown();
    void tell(Failure kind, const QString &reason);
    void updateWriteNotifier();

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    MqttBroker m_broker;
    QString m_clientId;
    QString m_willTopic;
    QByteArray m_willPayload;
    bool m_willRetain = false;
    std::vector<std::pair<QString, int>> m_subscriptions; // topic, QoS
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
