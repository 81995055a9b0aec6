// The publisher's batching and send window: samples into batches, batches into the bounded
// memory, at most kWindow unacknowledged at once. The history, the status and the end have
// their own files (mqttpublisherresend.cpp, mqttpublisherstatus.cpp, mqttpublisherend.cpp).
#include "mqttpublisher.h"
#include "mqttmessages.h"
#include "mqttwire.h"
#include "wallclock.h"

#include <QDateTime>

#include <algorithm>

MqttPublisher::MqttPublisher(const MqttBroker &broker, const QString &topic, PublisherContext context, QObject *parent)
    : QObject(parent),
      m_topics(topic),
      m_base(topic),
      m_context(std::move(context)),
      m_client(broker, uniqueClientId(QStringLiteral("pub")), this),
      m_store(kMemoryBytes),
      m_raw(m_context.readRaw),
      m_session(quint64(QDateTime::currentMSecsSinceEpoch())),
      m_view(m_session, 0)
{
    if (!m_context.unixNanos)
        m_context.unixNanos = [](qint64 t) { return t; };
    m_startUnixNanos = m_context.startNanos >= 0 ? m_context.unixNanos(m_context.startNanos)
                                                 : QDateTime::currentMSecsSinceEpoch() * 1000000;
    m_start = wallclock::fromUnixNanos(m_startUnixNanos);
    m_view.setStart(m_startUnixNanos);
    // The will names the session too, and says that the bench vanished rather than ended: a
    // recorder waits for it to come back instead of giving up what it still holds.
    m_client.setWill(m_topics.state, mqttwire::stateText(kOffline, m_session, true), true);
    m_client.subscribe(m_topics.request);
    // Summaries are the heartbeat of whoever publishes here: another session's is another bench.
    m_client.subscribe(m_topics.summary, 0);
    connect(&m_client, &MqttClient::connected, this, &MqttPublisher::connectedToBroker);
    connect(&m_client, &MqttClient::disconnected, this, [this] {
        m_inFlight.clear();
        noteLoss(m_store.connectionLost());
        m_view.clear(); // a view is live only
        m_viewMid = -1;
        emit connectedChanged(false);
    });
    connect(&m_client, &MqttClient::acknowledged, this, &MqttPublisher::acknowledged);
    connect(&m_client, &MqttClient::messageReceived, this, [this](const QString &topic, const QByteArray &payload) {
        if (topic == m_topics.request)
            requestReceived(payload);
        else if (topic == m_topics.summary)
            summaryHeard(payload);
    });
    connect(&m_client, &MqttClient::failed, this, [this](MqttClient::Failure, const QString &message) {
        emit problem(message);
    });
    connect(&m_client, &MqttClient::attemptEnded, this, &MqttPublisher::checkFinished); // a last try that failed ends it
    connect(&m_client, &MqttClient::closed, this, &MqttPublisher::finished);
    m_sealTimer.setSingleShot(true);
    connect(&m_sealTimer, &QTimer::timeout, this, &MqttPublisher::seal);
    m_summaryTimer.setInterval(kSummaryIntervalMs);
    connect(&m_summaryTimer, &QTimer::timeout, this, &MqttPublisher::publishSummary);
    m_viewTimer.setSingleShot(true);
    connect(&m_viewTimer, &QTimer::timeout, this, &MqttPublisher::publishView);
    m_resendTimer.setSingleShot(true);
    connect(&m_resendTimer, &QTimer::timeout, this, &MqttPublisher::pump);
    // A loss is noted within a second of when it happens, in the local CSV and on TEMA/estado,
    // whether or not the connection stays up.
    m_lossTimer.setSingleShot(true);
    m_lossTimer.setInterval(kLossNoticeMs);
    connect(&m_lossTimer, &QTimer::timeout, this, &MqttPublisher::flushLoss);
    m_clock.start();
    m_finishTimer.setSingleShot(true);
    connect(&m_finishTimer, &QTimer::timeout, this, &MqttPublisher::finishDeadlinePassed);
    m_lingerTimer.setSingleShot(true);
    connect(&m_lingerTimer, &QTimer::timeout, this, &MqttPublisher::checkFinished);
}

MqttPublisher::~MqttPublisher()
{
    detach();
}
void MqttPublisher::start()
{
    if (m_started)
        return;
    m_started = true;
    m_summaryTimer.start();
    m_client.start();
}

void MqttPublisher::sample(const Sample &s)
{
    if (m_limit && s.index >= m_limit) {
        detach(); // as many as the local files take, no more
        return;
    }
    m_sampled = true;
    ++m_taken;
    if (!m_open.values.empty() && s.index != m_open.end())
        seal(); // a batch holds consecutive samples only
    if (m_open.values.empty()) {
        m_open.session = m_session;
        m_open.first = s.index;
        m_open.times.clear();
        m_lastArrival = s.arrivalNanos;
        m_open.times.push_back({0, m_context.unixNanos(s.arrivalNanos)});
        m_sealTimer.start(kBatchIntervalMs);
    } else if (s.arrivalNanos != m_lastArrival) {
        m_lastArrival = s.arrivalNanos;
        m_open.times.push_back({quint32(m_open.values.size()), m_context.unixNanos(s.arrivalNanos)});
    }
    m_open.values.push_back(s.value);
    if (m_raw.enabled())
        m_raw.noteSample(s.index, s.streamEnd);
    m_stats.add(s.value);
    if (m_view.empty() && !m_viewTimer.isActive())
        m_viewTimer.start(ViewFeed::kIntervalMs);
    m_view.add(s.index, s.value, m_open.times.back().unixNanos); // this sample's arrival, as the batch has it
    if (m_open.values.size() >= size_t(kBatchSamples))
        seal();
}

void MqttPublisher::event(const StreamEvent &e)
{
    if (e.kind == StreamEvent::Kind::SettingsChanged) {
        m_context.settings = e.settings;
        publishMeta();
    }
}

void MqttPublisher::seal()
{
    m_sealTimer.stop();
    if (m_open.values.empty())
        return;
    if (m_raw.enabled())
        if (const QString warning = m_raw.noteBatch(m_open); !warning.isEmpty())
            emit problem(warning);
    noteLoss(m_store.add(m_open.first, quint32(m_open.values.size()), m_open.encode()));
    m_open.values.clear();
    m_open.times.clear();
    pump();
}

void MqttPublisher::pump()
{
    if (!m_client.isConnected())
        return;
    while (m_inFlight.size() < size_t(kWindow)) {
        if (BatchStore::Entry *e = m_store.nextUnsent()) {
            const int mid = m_client.publish(m_topics.samples, e->payload, 1, false);
            if (mid < 0)
                return;
            m_store.markSent(*e);
            m_inFlight.emplace(mid, InFlight{true, e->first, e->count});
        } else if (!sendResend()) {
            return;
        }
    }
}

// A view message at a time: the next one waits until the last is written to the socket, so that
// a broker that does not take them holds none of them up here (the feed bounds what waits).
void MqttPublisher::publishView()
{
    if (!m_client.isConnected()) {
        m_view.clear();
        return;
    }
    if (m_view.empty())
        return;
    if (m_viewMid >= 0) {
        m_viewTimer.start(ViewFeed::kIntervalMs);
        return;
    }
    m_viewMid = m_client.publish(m_topics.view, m_view.take(), 0, false);
}

void MqttPublisher::connectedToBroker()
{
    m_inFlight.clear();
    noteLoss(m_store.connectionLost());
    publishMeta();
    publishState();
    flushLoss();
    emit connectedChanged(true);
    pump();
    checkFinished();
}

void MqttPublisher::acknowledged(int mid)
{
    if (mid == m_viewMid) {
        m_viewMid = -1;
        if (m_finishing)
            publishView(); // the last samples' view, before the goodbye ends the connection
        return;
    }
    if (m_goodbyeSent && mid == m_goodbyeMid) {
        m_goodbyeAcked = true;
        m_goodbyeAckedAt = m_clock.elapsed();
        m_finishTimer.stop();
        checkFinished();
        return;
    }
    const auto it = m_inFlight.find(mid);
    if (it == m_inFlight.end())
        return;
    if (it->second.batch) {
        m_store.acknowledge(it->second.first);
        ++m_batchesAcked;
        if (m_store.allAcknowledged())
            m_losses.caughtUp(); // a loss from now on is another outage, told anew
    } else {
        // A re-send from memory carries stored batches' samples: those reached the broker now,
        // even if their own acknowledgement never comes (a connection ended meanwhile). A batch
        // that the re-sends cover in parts (they start where the request did) is counted so.
        const quint64 first = it->second.first, end = first + it->second.count;
        m_delivered.add(first, end);
        m_lostUnsent.remove(first, end);
        for (quint64 i = first; i < end;) {
            const BatchStore::Entry *e = m_store.find(i);
            if (!e)
                break;
            if (e->first >= first && e->first + e->count <= end)
                m_store.acknowledge(e->first);
            i = e->first + e->count;
        }
    }
    m_inFlight.erase(it);
    pump();
    checkFinished();
}
