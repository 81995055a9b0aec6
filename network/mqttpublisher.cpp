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
      m_session(quint64(QDateTime::currentMSecsSinceEpoch()))
{
    if (!m_context.unixNanos)
        m_context.unixNanos = [](qint64 t) { return t; };
    m_startUnixNanos = m_context.startNanos >= 0 ? m_context.unixNanos(m_context.startNanos)
                                                 : QDateTime::currentMSecsSinceEpoch() * 1000000;
    m_start = wallclock::fromUnixNanos(m_startUnixNanos);
    // The will names the session too, and says that the bench vanished rather than ended: a
    // recorder waits for it to come back instead of giving up what it still holds.
    m_client.setWill(m_topics.state, mqttwire::stateText(kOffline, m_session, true), true);
    m_client.subscribe(m_topics.request);
    // Summaries are the heartbeat of whoever publishes here: another session's is another bench.
    m_client.subscribe(m_topics.summary, 0);
    connect(&m_client, &MqttClient::connected, this, &MqttPublisher::connectedToBroker);
    connect(&m_client, &MqttClient::disconnected, this, [this] {
        m_inFlight.clear();
        m_store.connectionLost();
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
            m_inFlight.emplace(mid, InFlight{true, e->first, 0});
        } else if (!sendResend()) {
            return;
        }
    }
}

// One batch towards the oldest request, of up to kBatchSamples whatever the original batches
// were: from memory while it still holds them, else from the raw recording; what neither has,
// and what does not exist yet, is answered as unavailable at once. Returns false when there is
// nothing to send now (nothing asked for, or the re-send rate is spent until the timer).
bool MqttPublisher::sendResend()
{
    while (!m_resends.empty()) {
        const SampleRange r = m_resends.front(); // all of it was sent once: see requestReceived
        const quint64 end = m_store.end();
        const quint64 to = qMin(end, r.first + kBatchSamples);
        if (to <= r.first) { // never queued so; but a queue that cannot shrink would spin
            m_resends.doneBelow(r.end());
            continue;
        }
        if (const qint64 wait = m_resends.spend(qint64(to - r.first) * 2, m_clock.elapsed())) {
            m_resendTimer.start(int(qMin<qint64>(wait, 1000)));
            return false;
        }
        Batch chunk = r.first >= m_store.oldest() ? fromMemory(r.first, to)
                                                  : m_raw.read(m_session, r.first, qMin(to, m_store.oldest()));
        if (chunk.values.empty()) {
            const quint64 goneEnd = r.first >= m_store.oldest() ? to : qMin(end, m_store.oldest());
            publishUnavailable({r.first, goneEnd - r.first});
            m_resends.doneBelow(goneEnd);
            continue;
        }
        m_resends.doneBelow(chunk.end());
        const int mid = m_client.publish(m_topics.samples, chunk.encode(), 1, false);
        if (mid >= 0)
            m_inFlight.emplace(mid, InFlight{false, chunk.first, chunk.values.size()});
        return mid >= 0;
    }
    return false;
}

Batch MqttPublisher::fromMemory(quint64 from, quint64 to) const
{
    Batch out;
    out.session = m_session;
    out.first = from;
    while (from < to) {
        const BatchStore::Entry *e = m_store.find(from);
        const auto stored = e ? Batch::decode(e->payload) : std::nullopt;
        if (!stored)
            break;
        const Batch part = stored->slice(from, to);
        for (size_t i = 0; i < part.values.size(); ++i)
            out.append(part.values[i], part.arrivalAt(i));
        from = part.end();
    }
    return out;
}

void MqttPublisher::publishUnavailable(SampleRange range)
{
    ResendRequest answer{m_session, range.first, range.count, true};
    answer.heldFrom = m_raw.enabled() ? 0 : m_store.oldest();
    answer.heldEnd = m_store.end();
    m_client.publish(m_topics.request, answer.toJson(), 1, false);
}

void MqttPublisher::connectedToBroker()
{
    m_inFlight.clear();
    m_store.connectionLost();
    m_losses.connected();
    publishMeta();
    publishState();
    flushLoss();
    emit connectedChanged(true);
    pump();
    checkFinished();
}

void MqttPublisher::acknowledged(int mid)
{
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
    } else {
        // A re-send from memory carries stored batches' samples: those reached the broker now,
        // even if their own acknowledgement never comes (a connection ended meanwhile).
        const quint64 first = it->second.first, end = first + it->second.count;
        for (quint64 i = first; i < end;) {
            const BatchStore::Entry *e = m_store.find(i);
            if (!e)
                break;
            if (e->first >= first && e->first + e->count <= end)
                m_store.acknowledge(e->first);
            i = e->first + e->count;
        }
        emit samplesResent(first, it->second.count);
    }
    m_inFlight.erase(it);
    pump();
    checkFinished();
}

void MqttPublisher::requestReceived(const QByteArray &payload)
{
    const auto request = ResendRequest::fromJson(payload);
    if (!request || request->unavailable || request->session != m_session || request->count == 0)
        return; // answers, and requests for another bench's session
    m_lastRequestAt = m_clock.elapsed();
    // What has not been sent yet is refused at once (it goes out live): the subscriber learns
    // where the session stands instead of waiting.
    const quint64 sent = m_store.end();
    const quint64 end = request->first + qMin(request->count, mqttwire::kIndexLimit - request->first);
    if (end > sent) {
        const quint64 from = qMax(request->first, sent);
        publishUnavailable({from, end - from});
    }
    if (request->first < qMin(end, sent))
        m_resends.add({request->first, qMin(end, sent) - request->first});
    pump();
}

void MqttPublisher::summaryHeard(const QByteArray &payload)
{
    const auto summary = SessionSummary::fromJson(payload);
    // Told once a run: a flood of made-up sessions must not become a flood of lines.
    if (!summary || summary->session == m_session || !m_otherSessionTold.first())
        return;
    emit problem(QStringLiteral("MQTT: otra sesión (%1) publica también en %2: ¿otro banco con el mismo tema? Cada "
                                "banco necesita su propio tema (--mqtt-tema); los que graban desde el broker "
                                "siguen una sola sesión.")
                     .arg(summary->session)
                     .arg(m_base));
}

void MqttPublisher::setStart(qint64 startNanos)
{
    if (m_sampled)
        return;
    m_startUnixNanos = m_context.unixNanos(startNanos);
    m_start = wallclock::fromUnixNanos(m_startUnixNanos);
    if (m_started)
        publishMeta();
}

void MqttPublisher::setDeviceOpen(bool open)
{
    if (open == m_deviceOpen)
        return;
    m_deviceOpen = open;
    publishState();
}

void MqttPublisher::setDevice(const QString &portName, const QString &device, const QString &settings)
{
    if (portName == m_context.portName && device == m_context.device && settings == m_context.settings)
        return;
    m_context.portName = portName;
    m_context.device = device;
    m_context.settings = settings;
    publishMeta();
}

void MqttPublisher::publishState()
{
    const QString &state = m_deviceOpen ? kOnline : kDeviceLost;
    m_client.publish(m_topics.state, m_goodbyeSent ? mqttwire::goodbyeText(m_session, m_store.end())
                                                   : mqttwire::stateText(state, m_session), 1, true);
}

void MqttPublisher::publishMeta()
{
    SessionMeta meta;
    meta.format = batchformat::kVersion;
    meta.encoding = QStringLiteral("u16le");
    meta.program = QStringLiteral("dispvanto %1").arg(m_context.programVersion);
    meta.device = m_context.device;
    meta.settings = m_context.settings;
    meta.port = m_context.portName;
    meta.session = m_session;
    meta.clockZeroUnixNanos = m_context.unixNanos(0);
    meta.start = m_start;
    meta.startUnixNanos = m_startUnixNanos;
    m_client.publish(m_topics.meta, meta.toJson(), 1, true);
}

void MqttPublisher::publishSummary()
{
    SessionSummary s;
    s.session = m_session;
    s.samples = m_open.values.empty() ? m_store.end() : m_open.end();
    m_stats.takeInto(s);
    s.time = QDateTime::currentDateTimeUtc();
    m_client.publish(m_topics.summary, s.toJson(), 0, false);
}

void MqttPublisher::noteLoss(const std::vector<SampleRange> &lost)
{
    if (lost.empty())
        return;
    if (m_losses.note(lost))
        emit problem(QStringLiteral("MQTT: el broker %1 no confirma lo enviado y la memoria de envío (%2 MiB) "
                                    "está llena: se descartan los lotes más antiguos sin confirmar; cada pérdida "
                                    "se anota en el registro local y en el estado publicado.")
                         .arg(m_client.brokerName())
                         .arg(m_store.limit() >> 20));
    if (!m_lossTimer.isActive())
        m_lossTimer.start();
}

void MqttPublisher::flushLoss()
{
    m_lossTimer.stop();
    for (const SampleRange &r : m_losses.close())
        emit samplesLost(r.first, r.count);
    if (!m_client.isConnected())
        return;
    for (const SampleRange &r : m_losses.takeUnpublished())
        m_client.publish(m_topics.state,
                         mqttwire::noticeText(QStringLiteral("perdidas %1 muestras (%2 a %3): no cupieron en la "
                                                             "memoria de envío mientras el broker no las confirmaba")
                                                  .arg(r.count).arg(r.first).arg(r.end() - 1),
                                              m_session),
                         1, false);
}
