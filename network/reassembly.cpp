#include "reassembly.h"

#include <algorithm>

void Reassembly::add(Batch batch, qint64 now)
{
    if (batch.values.empty())
        return;
    if (batch.end() <= m_next) {
        m_duplicates += batch.values.size();
        return;
    }
    if (batch.first < m_next) {
        m_duplicates += m_next - batch.first;
        batch = batch.slice(m_next, batch.end());
    }
    if (batch.first > m_seen)
        missingFrom(m_seen, batch.first);
    m_seen = std::max(m_seen, batch.end());
    insertUncovered(std::move(batch));
    advance(now);
    // Too much waits behind a gap: give up on what is asked for now rather than grow without end.
    while (m_pendingBytes > m_pendingLimit && m_asked) {
        giveUpBelow(m_asked->range.end());
        advance(now);
    }
}

void Reassembly::missingFrom(quint64 seen, quint64 to)
{
    if (!m_unasked.empty() && m_unasked.back().end() == seen)
        m_unasked.back().count += to - seen;
    else
        m_unasked.push_back({seen, to - seen});
}

void Reassembly::insertUncovered(Batch batch)
{
    quint64 at = batch.first;
    auto it = m_pending.upper_bound(at);
    if (it != m_pending.begin() && std::prev(it)->second.end() > at)
        --it;
    while (at < batch.end()) {
        const quint64 stop = it == m_pending.end() ? batch.end() : std::min(batch.end(), it->first);
        if (at < stop) {
            Batch piece = batch.slice(at, stop);
            m_pendingBytes += qint64(piece.values.size()) * 2;
            m_pending.emplace(at, std::move(piece));
        }
        if (it == m_pending.end() || it->first >= batch.end())
            break;
        const quint64 heldEnd = std::min(batch.end(), it->second.end()); // already held: a duplicate
        m_duplicates += heldEnd - std::max(at, it->first);
        at = it->second.end();
        ++it;
    }
}

// Hands out what is in order, gives up what the publisher said it no longer has, and asks for
// the next piece once the one asked for is settled.
void Reassembly::advance(qint64 now)
{
    for (;;) {
        while (!m_pending.empty() && m_pending.begin()->first == m_next) {
            Batch b = std::move(m_pending.begin()->second);
            m_pending.erase(m_pending.begin());
            m_pendingBytes -= qint64(b.values.size()) * 2;
            m_next = b.end();
            m_out.push_back({Output::Ready, std::move(b), {}});
        }
        const auto gone = std::find_if(m_unavailable.begin(), m_unavailable.end(), [this](const SampleRange &r) {
            return r.first <= m_next && m_next < r.end();
        });
        if (gone == m_unavailable.end())
            break;
        giveUpBelow(gone->end());
    }
    std::erase_if(m_unavailable, [this](const SampleRange &r) { return r.end() <= m_next; });
    if (m_asked && m_next >= m_asked->range.end())
        m_asked.reset();
    askNext(now);
}

void Reassembly::giveUpBelow(quint64 end)
{
    while (m_next < end) {
        const quint64 held = m_pending.empty() ? end : std::min(end, m_pending.begin()->first);
        if (held > m_next) {
            m_out.push_back({Output::Missing, {}, {m_next, held - m_next}});
            m_next = held;
        }
        while (!m_pending.empty() && m_pending.begin()->first == m_next && m_next < end) {
            Batch b = std::move(m_pending.begin()->second);
            m_pending.erase(m_pending.begin());
            m_pendingBytes -= qint64(b.values.size()) * 2;
            m_next = b.end();
            m_out.push_back({Output::Ready, std::move(b), {}});
        }
    }
}

void Reassembly::askNext(qint64 now)
{
    while (!m_unasked.empty() && m_unasked.front().end() <= m_next)
        m_unasked.pop_front();
    if (m_asked || m_unasked.empty())
        return;
    SampleRange &front = m_unasked.front();
    if (front.first < m_next) {
        front.count = front.end() - m_next;
        front.first = m_next;
    }
    const SampleRange piece{front.first, std::min(front.count, kPieceSamples)};
    front.first += piece.count;
    front.count -= piece.count;
    if (front.count == 0)
        m_unasked.pop_front();
    m_asked = Asked{piece, now + m_wait};
    m_out.push_back({Output::Request, {}, piece});
}

void Reassembly::unavailable(SampleRange range, qint64 now)
{
    if (!m_asked)
        return;
    const quint64 first = std::max(range.first, m_asked->range.first);
    const quint64 end = std::min(range.end(), m_asked->range.end());
    if (first < end)
        m_unavailable.push_back({first, end - first});
    advance(now);
}

void Reassembly::announce(quint64 count, qint64 now)
{
    m_announced = std::max(m_announced, count);
    if (m_announced > m_seen && m_announcedAt < 0) {
        m_announcedAt = now;
        m_awaited = m_announced;
    }
    tick(now);
}

void Reassembly::tick(qint64 now)
{
    if (m_announced <= m_seen) {
        m_announcedAt = -1;
    } else if (m_announcedAt >= 0 && m_seen >= m_awaited) {
        // What was announced then has come; a summary counts the batch still filling, so the
        // newer count is waited for afresh.
        m_announcedAt = now;
        m_awaited = m_announced;
    } else if (m_announcedAt >= 0 && now - m_announcedAt >= m_wait) {
        // Announced long enough ago and still not here: the end of a run was lost.
        missingFrom(m_seen, m_awaited);
        m_seen = m_awaited;
        m_announcedAt = m_announced > m_seen ? now : -1;
        m_awaited = m_announced;
    }
    if (m_asked && m_asked->deadline <= now) {
        if (m_publisherGone) {
            // Nobody will answer: everything announced and not here is gone at once.
            if (m_announced > m_seen) {
                missingFrom(m_seen, m_announced);
                m_seen = m_announced;
            }
            m_announcedAt = -1;
            giveUpBelow(m_seen);
            m_unasked.clear();
        } else {
            giveUpBelow(m_asked->range.end());
        }
        m_asked.reset();
    }
    advance(now);
}

qint64 Reassembly::nextDeadline() const
{
    qint64 next = m_asked ? m_asked->deadline : -1;
    if (m_announcedAt >= 0 && m_awaited > m_seen) {
        const qint64 at = m_announcedAt + m_wait;
        next = next < 0 ? at : std::min(next, at);
    }
    return next;
}
