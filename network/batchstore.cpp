#include "batchstore.h"

#include <algorithm>
#include <utility>

std::vector<SampleRange> BatchStore::add(quint64 first, quint32 count, QByteArray payload)
{
    m_bytes += payload.size();
    m_entries.push_back({first, count, std::move(payload)});
    m_end = first + count;
    ++m_unacked;
    std::vector<SampleRange> lost;
    // The newest batch stays even alone over the bound: it is what is being sent.
    while (m_bytes > m_limit && m_entries.size() > 1) {
        Entry &old = m_entries.front();
        if (!old.acked) {
            --m_unacked;
            if (old.sent)
                m_onItsWay.emplace(old.first, old.count); // its confirmation may still come
            else if (!lost.empty() && lost.back().end() == old.first)
                lost.back().count += old.count;
            else
                lost.push_back({old.first, old.count});
        }
        m_bytes -= old.payload.size();
        m_entries.pop_front();
    }
    return lost;
}

BatchStore::Entry *BatchStore::entryAt(quint64 index)
{
    const auto it = std::upper_bound(m_entries.begin(), m_entries.end(), index,
                                     [](quint64 i, const Entry &e) { return i < e.first; });
    if (it == m_entries.begin())
        return nullptr;
    Entry &e = *std::prev(it);
    return index < e.end() ? &e : nullptr;
}

const BatchStore::Entry *BatchStore::find(quint64 index) const
{
    return const_cast<BatchStore *>(this)->entryAt(index);
}

BatchStore::Entry *BatchStore::nextUnsent()
{
    auto it = std::lower_bound(m_entries.begin(), m_entries.end(), m_sendFrom,
                               [](const Entry &e, quint64 i) { return e.end() <= i; });
    for (; it != m_entries.end(); ++it)
        if (!it->sent && !it->acked)
            return &*it;
    return nullptr;
}

void BatchStore::markSent(Entry &e)
{
    e.sent = true;
    m_sendFrom = std::max(m_sendFrom, e.end());
}

void BatchStore::acknowledge(quint64 first)
{
    Entry *e = entryAt(first);
    if (e && e->first == first && !e->acked) {
        e->acked = true;
        --m_unacked;
    }
    m_onItsWay.erase(first);
}

std::vector<SampleRange> BatchStore::connectionLost()
{
    m_sendFrom = oldest();
    for (Entry &e : m_entries)
        e.sent = false;
    std::vector<SampleRange> lost;
    for (const auto &[first, count] : std::exchange(m_onItsWay, {})) {
        if (!lost.empty() && lost.back().end() == first)
            lost.back().count += count;
        else
            lost.push_back({first, count});
    }
    return lost;
}

quint64 BatchStore::unacknowledgedSamples(const SampleRanges *delivered) const
{
    quint64 n = 0;
    for (const Entry &e : m_entries)
        if (!e.acked)
            n += e.count - (delivered ? delivered->overlap(e.first, e.end()) : 0);
    for (const auto &[first, count] : m_onItsWay)
        n += count - (delivered ? delivered->overlap(first, first + count) : 0);
    return n;
}

void SampleRanges::add(quint64 first, quint64 end)
{
    if (first >= end)
        return;
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin() && std::prev(it)->second >= first) {
        --it;
        first = it->first;
        end = std::max(end, it->second);
        m_total -= it->second - it->first;
        it = m_ranges.erase(it);
    }
    while (it != m_ranges.end() && it->first <= end) {
        end = std::max(end, it->second);
        m_total -= it->second - it->first;
        it = m_ranges.erase(it);
    }
    m_ranges.emplace(first, end);
    m_total += end - first;
}

void SampleRanges::remove(quint64 first, quint64 end)
{
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin() && std::prev(it)->second > first)
        --it; // the range that [first, end) starts inside
    while (it != m_ranges.end() && it->first < end) {
        const auto [from, to] = *it;
        m_total -= to - from;
        it = m_ranges.erase(it);
        if (from < first) {
            m_ranges.emplace(from, first);
            m_total += first - from;
        }
        if (to > end) {
            it = std::next(m_ranges.emplace(end, to).first);
            m_total += to - end;
        }
    }
}

quint64 SampleRanges::overlap(quint64 first, quint64 end) const
{
    quint64 n = 0;
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin())
        --it;
    for (; it != m_ranges.end() && it->first < end; ++it) {
        const quint64 from = std::max(first, it->first), to = std::min(end, it->second);
        n += from < to ? to - from : 0;
    }
    return n;
}
