// The publisher's history: samples asked for again on TEMA/pedido, from memory or the raw
// recording, at a bounded rate, and a refusal for what it does not hold.
#include "mqttpublisher.h"
#include "mqttmessages.h"
#include "mqttwire.h"

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
