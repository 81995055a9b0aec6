#pragma once

#include "batchstore.h"
#include "mqttbroker.h"
#include "mqttclient.h"
#include "mqttmessages.h"
#include "reassembly.h"
#include "sampleconsumer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <vector>

/// The samples of a remote bench, from the broker: subscribes to its batches, meta, state and
/// summary, and hands its consumers every sample of one session from sample 0, in index order,
/// with the publisher's arrival times.
///
/// Sessions: a session is followed once its meta has come (it says where the times count from);
/// a retained meta of a session already over is said once and passed by, and a live one is
/// waited for; setSession() names one instead. State messages act only on the session they name.
/// Missing samples are asked for on TEMA/pedido (see Reassembly for when a gap is given up);
/// what is given up is said (samplesMissing, and a StreamEvent::Kind::Missing to the consumers).
/// Byte positions of this stream are 2 × index, so a given-up gap keeps its place.
/// Everything received is checked first; each kind of refusal is told once and counted.
class MqttSource : public QObject, public SampleSource
{
    Q_OBJECT
public:
    static constexpr qint64 kPendingBytes = qint64(64) << 20;
    /// A followed session whose summary came within this is live (for telling two sessions apart).
    static constexpr qint64 kHeartbeatMs = 3000;

    /// Each kind of message refused, counted.
    enum class Refusal { Unreadable, NoMeta, OtherSession, TooFarAhead, BadMeta, BadSummary, Count };

    MqttSource(const MqttBroker &broker, const QString &topic, QObject *parent = nullptr);

    /// The waits of the gap repair (before start()).
    void setTiming(Reassembly::Timing timing) { m_timing = timing; }
    /// How long a piece asked for is waited for before it is asked for again (before start()).
    void setGapWait(int ms) { m_timing.firstWait = ms; }
    /// The bound on the batches waiting behind a gap (before start()); kPendingBytes otherwise.
    void setPendingLimit(qint64 bytes) { m_pendingLimit = bytes; }
    /// Sessions up to this one are passed by without a word: another recording has them.
    void setNewerThan(quint64 session) { m_newerThan = session; }
    /// Records this session only (0: the live one).
    void setSession(quint64 session) { m_wanted = session; }
    /// The broker keeps what comes while this recorder is away (a dropped connection, a broker
    /// restarted with its persistence): a persistent session under an id made from the topic and
    /// the files it writes (before start()). A clean stop() leaves nothing queuing.
    void persistAs(const QList<QByteArray> &outputFiles);
    void start();
    /// Disconnects; stopped() follows. A gap given up is told first.
    void stop();
    /// Samples 0 … samples−1 are wanted: targetReached() once each has arrived or been given up,
    /// or once the bench's session ended short of them.
    void setTarget(quint64 samples);

    /// The session followed (0: none yet) and its meta, once heard.
    quint64 session() const { return m_session; }
    const SessionMeta &meta() const { return m_meta; }
    bool hasMeta() const { return m_session != 0; }
    /// The publisher's state as last heard for the followed session ("en línea", …).
    QString publisherState() const { return m_state; }
    /// Samples handed out or given up so far (the next index).
    quint64 next() const { return m_reassembly.next(); }
    quint64 duplicates() const { return m_reassembly.duplicates(); }
    quint64 late() const { return m_reassembly.late(); }
    /// The end of what the bench is known to have produced in the followed session.
    quint64 knownEnd() const { return m_reassembly.knownEnd(); }
    /// Samples known to exist are missing and asked for (a gap is open).
    bool waitingForMissing() const { return m_session && !m_reassembly.settled(); }
    /// The bench said goodbye to the followed session.
    bool sessionEnded() const { return m_ended; }
    const std::vector<SampleRange> &missing() const { return m_reassembly.givenUp(); }
    quint64 refused(Refusal kind) const { return m_refused[size_t(kind)]; }
    /// The refusals counted, as sentences for a summary (empty when none).
    QStringList refusalSummary() const;
    MqttClient &client() { return m_client; }

signals:
    void problem(const QString &message);
    void connectedChanged(bool connected);
    void metaReceived();
    void stateChanged(const QString &state);
    /// A message on TEMA/estado other than the state (a loss the publisher reports).
    void notice(const QString &text);
    /// These samples never came; consumers get the next sample after them.
    void samplesMissing(quint64 first, quint64 count);
    /// Every sample below the target has arrived (complete) or some were given up.
    void targetReached(bool complete);
    /// The followed session is over and each of its samples has arrived or been given up.
    void sessionComplete();
    /// A newer session began on the topic while this one is followed.
    void otherSession(quint64 session);
    /// After stop(): the connection is closed.
    void stopped();

private:
    using Handler = void (MqttSource::*)(const QByteArray &payload, bool retained, qint64 now);
    void received(const QString &topic, const QByteArray &payload, bool retained);
    void onBatch(const QByteArray &payload, bool retained, qint64 now);
    void onMeta(const QByteArray &payload, bool retained, qint64 now);
    void onState(const QByteArray &payload, bool retained, qint64 now);
    void onSummary(const QByteArray &payload, bool retained, qint64 now);
    void onAnswer(const QByteArray &payload, bool retained, qint64 now);
    void follow(const SessionMeta &meta);
    void refuse(Refusal kind, const QString &detail);
    void checkOtherLive(quint64 session, bool retained, qint64 now);
    void process();
    void hand(const Batch &batch);
    void checkTarget();
    void noteMissing(const SampleRange &range);
    void tellGap();

    MqttTopics m_topics;
    QString m_topic;
    MqttClient m_client;
    std::vector<std::pair<QString, Handler>> m_handlers; // one per subscribed topic
    Reassembly::Timing m_timing;
    Reassembly m_reassembly;
    QElapsedTimer m_clock;
    QTimer m_tick;
    quint64 m_wanted = 0;
    quint64 m_newerThan = 0;
    quint64 m_session = 0;
    bool m_progressed = false; // a batch of the followed session was taken
    SessionMeta m_meta;
    qint64 m_clockZero = 0;
    QString m_state;
    QByteArray m_heldState; // the newest state heard while no session was followed
    bool m_ended = false;
    qint64 m_lastHeardAt = -1;
    std::vector<quint64> m_endedSessions; // said goodbye (the newest few), not to be followed
    std::vector<quint64> m_toldSessions;  // other sessions already told about (the newest few)
    std::array<quint64, size_t(Refusal::Count)> m_refused{};
    quint64 m_otherLive = 0; // other sessions heard publishing while ours was live
    SampleRange m_gap{0, 0}; // given up and not told yet: it may still grow
    quint64 m_target = 0;
    bool m_targetReached = false;
    bool m_completeTold = false;
    qint64 m_pendingLimit = kPendingBytes;
};
