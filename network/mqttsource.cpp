#include "mqttsource.h"
#include "mqttwire.h"

#include <QtEndian>

#include <algorithm>

namespace {

constexpr size_t kSessionsRemembered = 16;

// The highest rate the meta's line settings allow, in samples per ms (the frame with one start
// bit); unreadable settings allow the fastest line an adapter reaches. A pseudo-terminal ignores
// the baud rate: only a bound far past any line is left.
double maxRate(const SessionMeta &meta)
{
    if (meta.device.startsWith(u"/dev/pts/") || meta.device.contains(u"pty"))
        return 100000.0;
    const QString &settings = meta.settings;
    const QStringList p = settings.split(u',');
    bool ok = false;
    const double baud = p.value(0).toDouble(&ok);
    if (!ok || baud <= 0 || p.size() != 4)
        return 600.0;
    const double bits = 1 + p[2].toDouble() + (p[1].compare(u"N", Qt::CaseInsensitive) ? 1 : 0) + p[3].toDouble();
    return bits >= 7 ? baud / bits / 2 / 1000 : 600.0;
}

bool contains(const std::vector<quint64> &list, quint64 v)
{
    return std::find(list.begin(), list.end(), v) != list.end();
}

void remember(std::vector<quint64> &list, quint64 v)
{
    if (contains(list, v))
        return;
    if (list.size() >= kSessionsRemembered)
        list.erase(list.begin());
    list.push_back(v);
}

} // namespace

MqttSource::MqttSource(const MqttBroker &broker, const QString &topic, QObject *parent)
    : QObject(parent),
      m_topics(topic),
      m_topic(topic),
      m_client(broker, uniqueClientId(QStringLiteral("rec")), this),
      m_reassembly(m_timing, kPendingBytes)
{
    m_handlers = {{m_topics.samples, &MqttSource::onBatch},
                  {m_topics.meta, &MqttSource::onMeta},
                  {m_topics.state, &MqttSource::onState},
                  {m_topics.summary, &MqttSource::onSummary},
                  {m_topics.request, &MqttSource::onAnswer}};
    // The state before the meta: a retained goodbye is known before the retained meta of its
    // session, which is then passed by at once.
    m_client.subscribe(m_topics.state);
    m_client.subscribe(m_topics.meta);
    m_client.subscribe(m_topics.samples);
    m_client.subscribe(m_topics.summary);
    // The publisher's answers. QoS 0: our own requests come back here too, and must not take a
    // place in the broker's queue for us that a re-sent batch needs.
    m_client.subscribe(m_topics.request, 0);
    m_client.setRole(MqttClient::Role::Subscriber);
    connect(&m_client, &MqttClient::messageReceived, this, &MqttSource::received);
    connect(&m_client, &MqttClient::connected, this, [this] {
        m_reassembly.kick(m_clock.elapsed()); // requests sent while away went nowhere
        process();
        emit connectedChanged(true);
    });
    connect(&m_client, &MqttClient::disconnected, this, [this] { emit connectedChanged(false); });
    connect(&m_client, &MqttClient::failed, this, [this](MqttClient::Failure, const QString &message) {
        emit problem(message);
    });
    connect(&m_client, &MqttClient::closed, this, &MqttSource::stopped);
    m_tick.setSingleShot(true);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        m_reassembly.tick(m_clock.elapsed());
        process();
    });
}

void MqttSource::start()
{
    m_reassembly = Reassembly(m_timing, m_pendingLimit);
    m_clock.start();
    m_client.start();
}

void MqttSource::persistAs(const QList<QByteArray> &outputFiles)
{
    m_client.setPersistentSession(recorderClientId(m_topic, outputFiles));
}

void MqttSource::stop()
{
    tellGap();
    m_tick.stop();
    m_client.disconnectFromBroker();
}

void MqttSource::setTarget(quint64 samples)
{
    m_target = samples;
    m_reassembly.setTarget(samples);
    checkTarget();
}

void MqttSource::received(const QString &topic, const QByteArray &payload, bool retained)
{
    for (const auto &[subscribed, handler] : m_handlers)
        if (subscribed == topic) {
            (this->*handler)(payload, retained, m_clock.elapsed());
            process();
            return;
        }
}

void MqttSource::onBatch(const QByteArray &payload, bool retained, qint64 now)
{
    QString why;
    auto batch = Batch::decode(payload, &why);
    if (!batch) {
        refuse(Refusal::Unreadable, why);
        return;
    }
    if (batch->session != m_session && batch->session <= m_newerThan)
        return;
    if (batch->session != m_session) {
        checkOtherLive(batch->session, retained, now);
        if (batch->session != m_session && !contains(m_endedSessions, batch->session))
            refuse(m_session == 0 ? Refusal::NoMeta : Refusal::OtherSession,
                   QStringLiteral("sesión %1").arg(batch->session));
        return;
    }
    const quint64 first = batch->first;
    const quint64 end = batch->end();
    if (m_reassembly.add(std::move(*batch), now) == Reassembly::Verdict::TooFarAhead) {
        refuse(Refusal::TooFarAhead, QStringLiteral("muestras %1 a %2").arg(first).arg(end - 1));
        return;
    }
    m_progressed = true;
    if (!retained)
        m_lastHeardAt = now;
}

void MqttSource::onMeta(const QByteArray &payload, bool retained, qint64 now)
{
    QString why;
    const auto meta = SessionMeta::fromJson(payload, &why);
    if (!meta) {
        refuse(Refusal::BadMeta, why);
        return;
    }
    if (meta->session <= m_newerThan)
        return;
    if (meta->session == m_session) {
        m_meta = *meta;
        m_reassembly.setMaxRate(maxRate(*meta));
        if (!m_progressed)
            m_clockZero = meta->clockZeroUnixNanos;
        emit metaReceived();
        return;
    }
    if (m_wanted && meta->session != m_wanted)
        return;
    if (contains(m_endedSessions, meta->session) && !m_wanted) {
        if (!contains(m_toldSessions, meta->session)) {
            remember(m_toldSessions, meta->session);
            emit problem(QStringLiteral("La sesión %1 de %2 ya terminó; se espera a que el banco empiece una nueva.")
                             .arg(meta->session).arg(m_topic));
        }
        return;
    }
    // Nothing taken yet from the session followed: a newer one is the live one.
    if (m_session == 0 || !m_progressed) {
        follow(*meta);
        return;
    }
    checkOtherLive(meta->session, retained, now);
    if (meta->session > m_session && !contains(m_toldSessions, meta->session)) {
        remember(m_toldSessions, meta->session);
        emit otherSession(meta->session);
    }
}

void MqttSource::follow(const SessionMeta &meta)
{
    m_session = meta.session;
    m_meta = meta;
    m_clockZero = meta.clockZeroUnixNanos;
    m_progressed = false;
    m_ended = false;
    m_state.clear();
    m_lastHeardAt = -1;
    m_completeTold = false;
    m_reassembly = Reassembly(m_timing, m_pendingLimit);
    m_reassembly.setMaxRate(maxRate(meta));
    m_reassembly.setTarget(m_target);
    emit metaReceived();
    if (const QByteArray held = std::exchange(m_heldState, {}); mqttwire::parseState(held).session == m_session)
        onState(held, true, m_clock.elapsed());
}

void MqttSource::onState(const QByteArray &payload, bool, qint64 now)
{
    const mqttwire::StateMessage m = mqttwire::parseState(payload);
    if (!m.isState()) {
        if (m.session == 0 || m.session == m_session)
            emit notice(m.session ? m.word : QString::fromUtf8(payload));
        return;
    }
    if (m.word == mqttwire::kOffline && !m.connectionLost && m.session)
        remember(m_endedSessions, m.session);
    if (m.session && m_session == 0)
        m_heldState = payload; // it comes before its session's meta: applied when that is followed
    if (m.session == 0 || m.session != m_session)
        return; // another session's word, or one that names none: nothing to act on
    if (m.word == mqttwire::kOffline && !m.connectionLost && !m_progressed && !m_wanted) {
        // A finished session's retained meta: wait for a live one.
        emit problem(QStringLiteral("La sesión %1 de %2 ya terminó; se espera a que el banco empiece una nueva.")
                         .arg(m_session).arg(m_topic));
        remember(m_toldSessions, m_session);
        m_session = 0;
        return;
    }
    using P = Reassembly::Publisher;
    m_ended = m.word == mqttwire::kOffline && !m.connectionLost;
    if (m_ended && m.samples && !m_reassembly.announce(*m.samples, now)) // its count: the end to wait for
        refuse(Refusal::TooFarAhead, QStringLiteral("despedida con %1 muestras").arg(*m.samples));
    m_reassembly.setPublisher(m_ended ? P::Ended : m.word == mqttwire::kOffline ? P::Absent : P::Live, now);
    if (m.word != m_state) { // the retained state comes again at each reconnect
        m_state = m.word;
        emit stateChanged(m.word);
    }
}

void MqttSource::onSummary(const QByteArray &payload, bool retained, qint64 now)
{
    QString why;
    const auto summary = SessionSummary::fromJson(payload, &why);
    if (!summary) {
        refuse(Refusal::BadSummary, why);
        return;
    }
    if (summary->session != m_session) {
        if (summary->session > m_newerThan)
            checkOtherLive(summary->session, retained, now);
        return;
    }
    if (!m_reassembly.announce(summary->samples, now)) {
        refuse(Refusal::TooFarAhead, QStringLiteral("resumen con %1 muestras").arg(summary->samples));
        return;
    }
    m_lastHeardAt = now;
}

void MqttSource::onAnswer(const QByteArray &payload, bool, qint64 now)
{
    const auto answer = ResendRequest::fromJson(payload);
    if (!answer || !answer->unavailable || answer->session != m_session)
        return; // requests (ours or another recorder's) come here too
    m_reassembly.unavailable({answer->first, answer->count}, answer->heldEnd, now);
}

// Two sessions publishing at once on one topic: two benches configured alike.
void MqttSource::checkOtherLive(quint64 session, bool retained, qint64 now)
{
    // Live: its batches or summaries heard lately, whichever came first after it started.
    const bool live = m_session && !m_ended && m_lastHeardAt >= 0 && now - m_lastHeardAt < kHeartbeatMs;
    if (retained || !live || session == m_session || contains(m_toldSessions, session))
        return;
    remember(m_toldSessions, session);
    // Told once; more sessions heard meanwhile are counted for the summary.
    if (m_otherLive++)
        return;
    emit problem(QStringLiteral("En %1 publican dos sesiones a la vez (%2 y %3): ¿dos bancos con el mismo tema? "
                                "Se sigue grabando la sesión %2.")
                     .arg(m_topic, QString::number(m_session), QString::number(session)));
}

void MqttSource::process()
{
    if (m_session == 0)
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
    if (m_session && m_ended && !m_completeTold && m_reassembly.settled() && m_reassembly.next() >= m_reassembly.knownEnd()) {
        m_completeTold = true;
        emit sessionComplete();
    }
    if (!m_target || m_targetReached)
        return;
    const quint64 next = m_reassembly.next();
    // The bench said goodbye short of the target, and everything it had is here or given up.
    const bool endedShort = m_ended && m_reassembly.settled() && next >= m_reassembly.knownEnd();
    if (next < m_target && !endedShort)
        return;
    m_targetReached = true;
    bool complete = next >= m_target;
    for (const SampleRange &r : m_reassembly.givenUp())
        complete = complete && r.first >= m_target;
    emit targetReached(complete);
}
