#include "resendqueue.h"

#include <algorithm>
#include <iterator>

void ResendQueue::add(SampleRange r)
{
    if (r.count == 0)
        return;
    quint64 first = r.first;
    quint64 end = r.end();
    if (m_ranges.size() >= kMaxRanges) {
        // Too many separate ranges: widen the nearest one instead, so that memory stays bounded.
        auto next = m_ranges.lower_bound(first);
        auto near = next == m_ranges.end() ? std::prev(next) : next;
        if (next != m_ranges.begin() && next != m_ranges.end()) {
            const quint64 toPrev = first > std::prev(next)->second ? first - std::prev(next)->second : 0;
            const quint64 toNext = next->first > end ? next->first - end : 0;
            if (toPrev < toNext)
                near = std::prev(next);
        }
        first = std::min(first, near->first);
        end = std::max(end, near->second);
    }
    auto it = m_ranges.upper_bound(first);
    if (it != m_ranges.begin() && std::prev(it)->second >= first)
        --it;
    while (it != m_ranges.end() && it->first <= end) {
        first = std::min(first, it->first);
        end = std::max(end, it->second);
        it = m_ranges.erase(it);
    }
    m_ranges.emplace(first, end);
}

void ResendQueue::doneBelow(quint64 end)
{
    while (!m_ranges.empty() && m_ranges.begin()->first < end) {
        const quint64 rangeEnd = m_ranges.begin()->second;
        m_ranges.erase(m_ranges.begin());
        if (rangeEnd > end) {
            m_ranges.emplace(end, rangeEnd);
            break;
        }
    }
}

qint64 ResendQueue::spend(qint64 bytes, qint64 now)
{
    if (m_refilledAt >= 0)
        m_tokens = std::min(double(kBytesPerSecond), m_tokens + double(now - m_refilledAt) * double(kBytesPerSecond) / 1000.0);
    m_refilledAt = now;
    if (m_tokens >= double(bytes)) {
        m_tokens -= double(bytes);
        return 0;
    }
    return qint64((double(bytes) - m_tokens) * 1000.0 / double(kBytesPerSecond)) + 1;
}
