#include "mqttsource.h"
#include "mqttpublisher.h"

#include <QtEndian>

MqttSource::MqttSource(const MqttBroker &broker, const QString &topic, QObject *parent)
    : QObject(parent),
      m_topics(topic),
      m_client(broker, uniqueClientId(QStringLiteral("rec")), this),
      m_reassembly(kGapWaitMs, kPendingBytes)
{
    m_client.subscribe(m_topics.meta);
    m_client.subscribe(m_topics.state);
    m_client.subscribe(m_topics.samples);
    m_client.subscribe(m_topics.summary);
    // The publisher's answers. QoS 0: our own requests come back here too, and must not take a
    // place in the broker's queue for us that a re-sent batch needs.
    m_client.subscribe(m_topics.request, 0);
    connect(&m_client, &MqttClient::messageReceived, this, &MqttSource::received);
    connect(&m_client, &MqttClient::connected, this, [this] { emit connectedChanged(true); });
    connect(&m_client, &MqttClient::disconnected, this, [this] { emit connectedChanged(false); });
    connect(&m_client, &MqttClient::failed, this, [this](MqttClient::Failure, const QString &message) {
        emit problem(message);
    });
    m_tick.setSingleShot(true);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        m_reassembly.tick(m_clock.elapsed());
        process();
    });
}

void MqttSource::start()
{
    m_reassembly = Reassembly(m_gapWait, kPendingBytes);
    m_clock.start();
    m_client.start();
}

void MqttSource::setTarget(quint64 samples)
{
    m_target = samples;
    checkTarget();
}

void MqttSource::received(const QString &topic, const QByteArray &payload)
{
    const qint64 now = m_clock.elapsed();
    if (topic == m_topics.samples) {
        QString why;
        auto batch = Batch::decode(payload, &why);
        if (!batch) {
            if (!m_badBatchTold) {
                m_badBatchTold = true;
                emit problem(QStringLiteral("MQTT: llegó a %1 algo que no se puede leer: %2").arg(topic, why));
            }
            return;
        }
        if (!follow(batch->session))
            return;
        if (!m_clockZeroKnown && !batch->times.empty()) {
            // No meta yet: arrival times count from this batch's first sample.
            m_clockZero = batch->times.front().unixNanos;
            m_clockZeroKnown = true;
        }
        m_reassembly.add(std::move(*batch), now);
    } else if (topic == m_topics.meta) {
        const auto meta = SessionMeta::fromJson(payload);
        if (!meta || !follow(meta->session))
            return;
        m_meta = *meta;
        m_hasMeta = true;
        if (!m_progressed) {
            m_clockZero = meta->clockZeroUnixNanos;
            m_clockZeroKnown = true;
        }
        emit metaReceived();
    } else if (topic == m_topics.state) {
        const QString text = QString::fromUtf8(payload);
        const bool isState = text == MqttPublisher::kOnline || text == MqttPublisher::kDeviceLost
                             || text == MqttPublisher::kOffline;
        if (isState && text != m_state) { // the retained state comes again at each reconnect
            m_state = text;
            m_reassembly.setPublisherGone(text == MqttPublisher::kOffline);
            // Gone before the samples wanted came: the missing end is asked for, and given up.
            if (text == MqttPublisher::kOffline && m_target)
                m_reassembly.announce(m_target, now);
            emit stateChanged(text);
        } else if (!isState) {
            emit notice(text);
        }
    } else if (topic == m_topics.request) {
        const auto answer = ResendRequest::fromJson(payload);
        if (answer && answer->unavailable && answer->session == m_session)
            m_reassembly.unavailable({answer->first, answer->count}, now);
    } else if (topic == m_topics.summary) {
        const auto summary = SessionSummary::fromJson(payload);
        if (summary && summary->session == m_session)
            m_reassembly.announce(summary->samples, now);
    }
    process();
}

// Follows the first session heard, or a newer one as long as nothing has been handed out or
// given up.
bool MqttSource::follow(quint64 session)
{
    if (session == m_session)
        return true;
    if (m_session == 0 || (!m_progressed && session > m_session)) {
        m_session = session;
        m_reassembly = Reassembly(m_gapWait, kPendingBytes);
        m_hasMeta = false;
        m_clockZeroKnown = false;
        return true;
    }
    if (session > m_session && session > m_newestOtherTold) {
        m_newestOtherTold = session;
        emit otherSession(session);
    }
    return false;
}

void MqttSource::process()
{
    // Samples wait for the session's meta: it says where their times count from.
    if (!m_hasMeta)
        return;
    for (Reassembly::Output &out : m_reassembly.take()) {
        switch (out.kind) {
        case Reassembly::Output::Ready:
            tellGap();
            hand(out.batch);
            break;
        case Reassembly::Output::Request:
            m_client.publish(m_topics.request, ResendRequest{m_session, out.range.first, out.range.count}.toJson(), 1,
                             false);
            break;
        case Reassembly::Output::Missing:
            noteMissing(out.range);
            break;
        }
    }
    // A gap is told once it can grow no more: at the next sample, or once nothing is asked for.
    if (m_reassembly.settled() || (m_target && m_reassembly.next() >= m_target))
        tellGap();
    checkTarget();
    const qint64 deadline = m_reassembly.nextDeadline();
    if (deadline < 0)
        m_tick.stop();
    else
        m_tick.start(int(qBound<qint64>(0, deadline - m_clock.elapsed(), 3600000LL)));
}

void MqttSource::noteMissing(const SampleRange &range)
{
    m_progressed = true;
    if (!m_missing.empty() && m_missing.back().end() == range.first)
        m_missing.back().count += range.count;
    else
        m_missing.push_back(range);
    if (m_gap.count && m_gap.end() == range.first) {
        m_gap.count += range.count;
        return;
    }
    tellGap();
    m_gap = range;
}

// One line for a gap, however many pieces it was asked for in.
void MqttSource::tellGap()
{
    if (!m_gap.count)
        return;
    const SampleRange gap = std::exchange(m_gap, SampleRange{0, 0});
    emitEvent({StreamEvent::Kind::Missing, qint64(2 * gap.first), qint64(2 * gap.count), {}, QDateTime::currentDateTime()});
    emit samplesMissing(gap.first, gap.count);
}

void MqttSource::hand(const Batch &batch)
{
    m_progressed = true;
    QByteArray bytes(qsizetype(batch.values.size()) * 2, Qt::Uninitialized);
    qToLittleEndian<quint16>(batch.values.data(), qsizetype(batch.values.size()), bytes.data());
    emitBytes(bytes.constData(), bytes.size(), qint64(2 * batch.first));
    size_t step = 0;
    qint64 arrival = 0;
    for (size_t i = 0; i < batch.values.size(); ++i) {
        if (step < batch.times.size() && batch.times[step].offset == i)
            arrival = batch.times[step++].unixNanos - m_clockZero;
        const quint64 index = batch.first + i;
        emitSample({index, batch.values[i], arrival, qint64(2 * (index + 1))});
    }
}

void MqttSource::checkTarget()
{
    if (!m_target || m_targetReached || m_reassembly.next() < m_target)
        return;
    m_targetReached = true;
    bool complete = true;
    for (const SampleRange &r : m_missing)
        complete = complete && r.first >= m_target;
    emit targetReached(complete);
}
