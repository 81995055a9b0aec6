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
        open(m_seen, batch.first, now);
    m_seen = std::max(m_seen, batch.end());
    insertUncovered(std::move(batch));
    flushReady();
    // Too much waits behind a gap: give up on the oldest gaps now rather than grow without end.
    while (m_pendingBytes > m_pendingLimit && !m_deadlines.empty())
        giveUpOldest();
}

void Reassembly::open(quint64 from, quint64 to, qint64 now)
{
    m_out.push_back({Output::Request, {}, {from, to - from}});
    m_deadlines.emplace_back(to, now + m_wait);
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
        // Already held: a duplicate.
        const quint64 heldEnd = std::min(batch.end(), it->second.end());
        m_duplicates += heldEnd - std::max(at, it->first);
        at = it->second.end();
        ++it;
    }
}

void Reassembly::flushReady()
{
    while (!m_pending.empty() && m_pending.begin()->first == m_next) {
        Batch b = std::move(m_pending.begin()->second);
        m_pending.erase(m_pending.begin());
        m_pendingBytes -= qint64(b.values.size()) * 2;
        m_next = b.end();
        m_out.push_back({Output::Ready, std::move(b), {}});
    }
    while (!m_deadlines.empty() && m_deadlines.front().first <= m_next)
        m_deadlines.pop_front();
}

void Reassembly::giveUpOldest()
{
    const quint64 end = m_deadlines.front().first;
    m_deadlines.pop_front();
    giveUpBelow(end);
}

void Reassembly::giveUpBelow(quint64 end)
{
    while (m_next < end) {
        const quint64 held = m_pending.empty() ? end : std::min(end, m_pending.begin()->first);
        if (held > m_next) {
            m_out.push_back({Output::Missing, {}, {m_next, held - m_next}});
            m_next = held;
        }
        flushReady();
    }
}

void Reassembly::announce(quint64 count, qint64 now)
{
    m_announced = std::max(m_announced, count);
    if (m_announced > m_seen && m_announcedAt < 0)
        m_announcedAt = now;
    tick(now);
}

void Reassembly::tick(qint64 now)
{
    if (m_announced <= m_seen) {
        m_announcedAt = -1;
    } else if (m_announcedAt >= 0 && now - m_announcedAt >= m_wait) {
        // Announced long enough ago and still not here: the tail of a run was lost.
        open(m_seen, m_announced, now);
        m_seen = m_announced;
        m_announcedAt = -1;
    }
    while (!m_deadlines.empty() && m_deadlines.front().second <= now)
        giveUpOldest();
}

qint64 Reassembly::nextDeadline() const
{
    qint64 next = m_deadlines.empty() ? -1 : m_deadlines.front().second;
    if (m_announcedAt >= 0 && m_announced > m_seen) {
        const qint64 at = m_announcedAt + m_wait;
        next = next < 0 ? at : std::min(next, at);
    }
    return next;
}
