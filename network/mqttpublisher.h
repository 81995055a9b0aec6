#pragma once

#include "batchformat.h"
#include "batchstore.h"
#include "mqttbroker.h"
#include "mqttclient.h"
#include "publishercontext.h"
#include "mqttwire.h"
#include "publisherledger.h"
#include "rawhistory.h"
#include "resendqueue.h"
#include "sampleconsumer.h"
#include "viewfeed.h"

#include <QObject>
#include <QElapsedTimer>
#include <QTimer>

#include <deque>
#include <vector>
#include <unordered_map>

/// Publishes every sample it is handed to an MQTT broker, under one base topic:
/// batches on TEMA/muestras (QoS 1; see batchformat.h), the state on TEMA/estado (retained; the
/// will says "fuera de línea"), the session's description on TEMA/meta (retained JSON), a summary
/// on TEMA/resumen once a second, what a browser draws on TEMA/vista, and samples again on
/// request from TEMA/pedido. Never makes the
/// caller wait for the network: batches the broker has not acknowledged are kept (within a bound)
/// and sent again, in order, after a reconnect.
class MqttPublisher : public QObject, public SampleConsumer
{
    Q_OBJECT
public:
    static constexpr int kBatchIntervalMs = 50;
    static constexpr int kBatchSamples = 16384;
    static constexpr qint64 kMemoryBytes = qint64(64) << 20;
    static constexpr int kWindow = 16; ///< messages awaiting the broker's acknowledgement at once
    static constexpr int kSummaryIntervalMs = 1000;
    static constexpr int kFinishTimeoutMs = 3000;

    static constexpr int kLossNoticeMs = 1000;
    /// After its goodbye, a publisher asked for samples lately stays to answer until no request
    /// has come for this long (a recorder still catching up), at most kLingerMaxMs.
    static constexpr int kLingerMs = 10000;
    static constexpr int kLingerMaxMs = 60000;

    static inline const QString &kOnline = mqttwire::kOnline;
    static inline const QString &kDeviceLost = mqttwire::kDeviceLost;
    static inline const QString &kOffline = mqttwire::kOffline;

    MqttPublisher(const MqttBroker &broker, const QString &topic, PublisherContext context, QObject *parent = nullptr);
    ~MqttPublisher() override;

    /// Bound on the batches kept for the broker (64 MiB unless set before start()).
    void setMemoryLimit(qint64 bytes) { m_store.setLimit(bytes); }
    /// Publishes the samples of index below this only (0: all).
    void setSampleLimit(quint64 samples) { m_limit = samples; }
    /// Samples handed to the publisher so far.
    quint64 samplesTaken() const { return m_taken; }
    /// Connects and publishes the session's meta and state; samples may come before or after.
    void start();
    /// The device was lost (false) or is open again (true): said on TEMA/estado.
    void setDeviceOpen(bool open);
    /// The port, its device or its settings changed (another port opened): TEMA/meta says so.
    void setDevice(const QString &portName, const QString &device, const QString &settings);
    /// The session starts at this time of the samples' clock instead (the port opened after
    /// the publisher started), as long as no sample has come; TEMA/meta says so.
    void setStart(qint64 startNanos);
    /// Sends what is pending (for a few seconds at most), says "fuera de línea" and disconnects;
    /// finished() follows.
    void finish();

    quint64 session() const { return m_session; }
    bool isConnected() const { return m_client.isConnected(); }
    quint64 batchesAcknowledged() const { return m_batchesAcked; }
    /// Samples handed to the publisher that the broker has not acknowledged yet.
    quint64 unacknowledgedSamples() const { return m_store.unacknowledgedSamples(&m_delivered) + m_open.values.size(); }
    /// Those, and the samples dropped from the sending memory and not sent again on request
    /// since: what never reached the broker, for the end's count.
    quint64 undeliveredSamples() const { return unacknowledgedSamples() + m_lostUnsent.total(); }
    const MqttTopics &topics() const { return m_topics; }
    MqttClient &client() { return m_client; }

    void sample(const Sample &s) override;
    void event(const StreamEvent &e) override;

signals:
    /// A failure or a loss, in Spanish; each kind is told once per outage.
    void problem(const QString &message);
    /// These samples never reached the broker (memory bound passed while it was away): for a
    /// comment line in the local recording.
    void samplesLost(quint64 first, quint64 count);
    void connectedChanged(bool connected);
    void finished();

private:
    struct InFlight
    {
        bool batch;
        quint64 first;
        quint64 count;
    };
    void seal();
    void pump();
    bool sendResend();
    Batch fromMemory(quint64 from, quint64 to) const;
    void publishUnavailable(SampleRange range);
    void connectedToBroker();
    void acknowledged(int mid);
    void requestReceived(const QByteArray &payload);
    void summaryHeard(const QByteArray &payload);
    void publishState();
    void publishMeta();
    void publishSummary();
    void publishView();
    void noteLoss(const std::vector<SampleRange> &lost);
    void flushLoss();
    void checkFinished();
    void finishDeadlinePassed();
    void sayGoodbye();
    void endConnection();
    void reportUnconfirmed();
    bool lingering();

    MqttTopics m_topics;
    QString m_base;
    PublisherContext m_context;
    MqttClient m_client;
    BatchStore m_store;
    RawHistory m_raw;
    quint64 m_session;
    QDateTime m_start;
    qint64 m_startUnixNanos = 0;
    Batch m_open;
    ViewFeed m_view;
    QTimer m_viewTimer;
    int m_viewMid = -1; // the last view message, until written to the socket
    qint64 m_lastArrival = 0;
    QTimer m_sealTimer;
    QTimer m_summaryTimer;
    QTimer m_finishTimer;
    QTimer m_lingerTimer;
    qint64 m_lastRequestAt = -1; // on m_clock
    qint64 m_goodbyeAckedAt = -1;
    std::unordered_map<int, InFlight> m_inFlight; // by message id
    ResendQueue m_resends;
    SampleRanges m_delivered; // sent again on request and acknowledged: these reached the broker
    // Dropped from the sending memory and not sent again since. Noted when dropped, not when
    // told: a re-send may be confirmed before the loss is told.
    SampleRanges m_lostUnsent;
    QTimer m_resendTimer;
    QTimer m_lossTimer;
    QElapsedTimer m_clock;
    TellOnce m_otherSessionTold;
    quint64 m_batchesAcked = 0;
    bool m_deviceOpen = true;
    bool m_sampled = false; // a sample has come
    quint64 m_taken = 0;
    quint64 m_limit = 0;
    bool m_started = false;
    bool m_finishing = false;
    bool m_goodbyeSent = false;
    int m_goodbyeMid = -1;
    bool m_goodbyeAcked = false;
    TellOnce m_unconfirmed;
    LossLog m_losses;
    SummaryStats m_stats; // since the previous summary
};
