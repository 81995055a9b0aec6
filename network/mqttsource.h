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

#include <vector>

/// The samples of a remote bench, from the broker: subscribes to its batches, meta and state,
/// and hands its consumers every sample of one session from sample 0, in index order, with the
/// publisher's arrival times, once the session's meta has come (it says where those times count
/// from). Missing samples are asked for once on TEMA/pedido, a piece at a time; what the
/// publisher no longer has, or what has not come after the wait, is given up and said
/// (samplesMissing, and a StreamEvent::Kind::Missing to the consumers). Byte positions of this
/// stream are 2 × index, so a given-up gap keeps its place.
class MqttSource : public QObject, public SampleSource
{
    Q_OBJECT
public:
    static constexpr int kGapWaitMs = 5000;
    static constexpr qint64 kPendingBytes = qint64(64) << 20;

    MqttSource(const MqttBroker &broker, const QString &topic, QObject *parent = nullptr);

    /// How long a gap stays open after it was asked for (before start()).
    void setGapWait(int ms) { m_gapWait = ms; }
    void start();
    /// Disconnects; closed() on the client follows. A gap given up is told first.
    void stop()
    {
        tellGap();
        m_client.disconnectFromBroker();
    }
    /// Samples 0 … samples−1 are wanted: targetReached() once each has arrived or been given up.
    void setTarget(quint64 samples);

    /// The session followed (0: none yet) and its meta, once heard.
    quint64 session() const { return m_session; }
    const SessionMeta &meta() const { return m_meta; }
    bool hasMeta() const { return m_hasMeta; }
    /// The publisher's state as last heard ("en línea", "dispositivo perdido", "fuera de línea").
    QString publisherState() const { return m_state; }
    /// Samples handed out or given up so far (the next index).
    quint64 next() const { return m_reassembly.next(); }
    quint64 duplicates() const { return m_reassembly.duplicates(); }
    const std::vector<SampleRange> &missing() const { return m_missing; }
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
    /// A newer session began on the topic while this one is followed.
    void otherSession(quint64 session);

private:
    void received(const QString &topic, const QByteArray &payload);
    bool follow(quint64 session);
    void process();
    void hand(const Batch &batch);
    void checkTarget();
    void noteMissing(const SampleRange &range);
    void tellGap();

    MqttTopics m_topics;
    MqttClient m_client;
    Reassembly m_reassembly;
    int m_gapWait = kGapWaitMs;
    QElapsedTimer m_clock;
    QTimer m_tick;
    quint64 m_session = 0;
    bool m_progressed = false; // samples of this session handed out or given up
    SessionMeta m_meta;
    bool m_hasMeta = false;
    qint64 m_clockZero = 0;
    bool m_clockZeroKnown = false;
    QString m_state;
    std::vector<SampleRange> m_missing; // given up, contiguous ranges joined
    SampleRange m_gap{0, 0};            // given up and not told yet: it may still grow
    quint64 m_target = 0;
    bool m_targetReached = false;
    bool m_badBatchTold = false;
    quint64 m_newestOtherTold = 0;
};
