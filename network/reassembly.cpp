#include "reassembly.h"

#include <algorithm>

namespace {

constexpr quint64 kIndexLimit = quint64(1) << 63;
constexpr size_t kAnnouncementsKept = 64;

// Adds a range to an ascending list of disjoint ranges, joining neighbours.
void addRange(std::vector<SampleRange> &list, SampleRange r)
{
    auto it = std::lower_bound(list.begin(), list.end(), r.first,
                               [](const SampleRange &e, quint64 at) { return e.end() < at; });
    quint64 first = r.first;
    quint64 end = r.end();
    auto last = it;
    while (last != list.end() && last->first <= end) {
        first = std::min(first, last->first);
        end = std::max(end, last->end());
        ++last;
    }
    it = list.erase(it, last);
    list.insert(it, SampleRange{first, end - first});
}

} // namespace

quint64 Reassembly::plausibleEnd(qint64 now) const
{
    if (!m_anchored)
        return kIndexLimit;
    const double ms = double(std::max<qint64>(0, now - m_anchorTime) + kPlausibleSlackMs);
    const double end = double(m_anchorIndex) + ms * m_maxRate * 2.0 + double(kPlausibleSlackSamples);
    return end >= double(kIndexLimit) ? kIndexLimit : quint64(end);
}

// The first thing heard of the session says where it stood then; it can only grow at the line's
// rate from there.
void Reassembly::anchor(qint64 now)
{
    if (m_anchored)
        return;
    m_anchored = true;
    m_anchorIndex = knownEnd();
    m_anchorTime = now;
}

Reassembly::Verdict Reassembly::add(Batch batch, qint64 now)
{
    if (batch.values.empty())
        return Verdict::Taken;
    if (batch.end() > kIndexLimit || batch.end() > plausibleEnd(now))
        return Verdict::TooFarAhead;
    m_received = std::max(m_received, batch.end());
    anchor(now);
    if (batch.end() <= m_next) {
        countBehind(batch.first, batch.end());
        return Verdict::Taken;
    }
    if (batch.first < m_next) {
        countBehind(batch.first, m_next);
        batch = batch.slice(m_next, batch.end());
    }
    insertUncovered(std::move(batch));
    advance(now);
    trimToBound();
    return Verdict::Taken;
}

// Samples behind the next one: late where their place was given up, else duplicates.
void Reassembly::countBehind(quint64 first, quint64 end)
{
    quint64 late = 0;
    auto it = std::lower_bound(m_givenUp.begin(), m_givenUp.end(), first,
                               [](const SampleRange &r, quint64 at) { return r.end() <= at; });
    for (; it != m_givenUp.end() && it->first < end; ++it)
        late += std::min(end, it->end()) - std::max(first, it->first);
    m_late += late;
    m_duplicates += (end - first) - late;
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
            m_pendingBytes += qint64(piece.values.size()) * 2 + kEntryBytes;
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

// Past the bound, the batches furthest ahead go: they are asked for again in their turn.
void Reassembly::trimToBound()
{
    while (m_pendingBytes > m_pendingLimit && !m_pending.empty()) {
        const auto last = std::prev(m_pending.end());
        m_letGo += last->second.values.size();
        m_pendingBytes -= qint64(last->second.values.size()) * 2 + kEntryBytes;
        m_pending.erase(last);
    }
}

// Hands out what is in order, gives up what the publisher said it no longer has, and asks for
// the next piece once the one asked for has come.
void Reassembly::advance(qint64 now)
{
    for (;;) {
        while (!m_pending.empty() && m_pending.begin()->first == m_next) {
            Batch b = std::move(m_pending.begin()->second);
            m_pending.erase(m_pending.begin());
            m_pendingBytes -= qint64(b.values.size()) * 2 + kEntryBytes;
            m_next = b.end();
            m_out.push_back({Output::Ready, std::move(b), {}});
        }
        std::erase_if(m_gone, [this](const SampleRange &r) { return r.end() <= m_next; });
        if (m_gone.empty() || m_gone.front().first > m_next)
            break;
        giveUpBelow(m_gone.front().end());
    }
    if (m_asked && m_next >= m_asked->range.end()) {
        m_asked.reset();
        m_wait = m_timing.firstWait;
    }
    if (!m_asked)
        ask(now);
}

void Reassembly::giveUpBelow(quint64 end)
{
    while (m_next < end) {
        const quint64 held = m_pending.empty() ? end : std::min(end, m_pending.begin()->first);
        if (held > m_next) {
            emitMissing({m_next, held - m_next});
            m_next = held;
        }
        while (!m_pending.empty() && m_pending.begin()->first == m_next && m_next < end) {
            Batch b = std::move(m_pending.begin()->second);
            m_pending.erase(m_pending.begin());
            m_pendingBytes -= qint64(b.values.size()) * 2 + kEntryBytes;
            m_next = b.end();
            m_out.push_back({Output::Ready, std::move(b), {}});
        }
    }
}

void Reassembly::emitMissing(SampleRange range)
{
    addRange(m_givenUp, range);
    if (!m_out.empty() && m_out.back().kind == Output::Missing && m_out.back().range.end() == range.first)
        m_out.back().range.count += range.count;
    else
        m_out.push_back({Output::Missing, {}, range});
}

quint64 Reassembly::endToGiveUp() const
{
    return m_target ? std::min(knownEnd(), m_target) : knownEnd();
}

quint64 Reassembly::askableEnd(qint64 now) const
{
    quint64 end = m_received;
    for (const auto &[count, at] : m_announcements)
        if (m_publisher == Publisher::Ended || at + m_timing.announceGrace <= now)
            end = std::max(end, count);
    return m_target ? std::min(end, m_target) : end;
}

std::optional<SampleRange> Reassembly::firstMissing(qint64 now) const
{
    quint64 stop = std::min(askableEnd(now), m_next + kPieceSamples);
    if (!m_pending.empty())
        stop = std::min(stop, m_pending.begin()->first);
    if (!m_gone.empty())
        stop = std::min(stop, m_gone.front().first);
    if (stop <= m_next)
        return std::nullopt;
    return SampleRange{m_next, stop - m_next};
}

void Reassembly::ask(qint64 now)
{
    const auto piece = firstMissing(now);
    if (!piece)
        return;
    if (m_wait <= 0)
        m_wait = m_timing.firstWait;
    m_asked = Asked{*piece, now + m_wait, m_next};
    m_out.push_back({Output::Request, {}, *piece});
}

bool Reassembly::announce(quint64 count, qint64 now)
{
    if (count > kIndexLimit || count > plausibleEnd(now))
        return false;
    m_announced = std::max(m_announced, count);
    anchor(now);
    if (count > m_received && (m_announcements.empty() || m_announcements.back().first < count)) {
        if (m_announcements.size() >= kAnnouncementsKept)
            m_announcements.pop_front();
        m_announcements.emplace_back(count, now);
    }
    tick(now);
    return true;
}

void Reassembly::unavailable(SampleRange range, std::optional<quint64> heldEnd, qint64 now)
{
    // Only the piece asked for: a word about anything else is nobody's answer to us.
    if (!m_asked)
        return;
    const quint64 first = std::max({range.first, m_asked->range.first, m_next});
    quint64 end = std::min(range.end(), m_asked->range.end());
    if (heldEnd)
        end = std::min(end, *heldEnd);
    if (first >= end)
        return;
    addRange(m_gone, {first, end - first});
    advance(now);
}

void Reassembly::setPublisher(Publisher p, qint64 now)
{
    if (p == m_publisher)
        return;
    m_publisher = p;
    m_absentSince = p == Publisher::Absent ? now : -1;
    kick(now); // back, or its last chance to answer
}

void Reassembly::kick(qint64 now)
{
    m_wait = m_timing.firstWait;
    m_asked.reset();
    advance(now);
}

void Reassembly::tick(qint64 now)
{
    std::erase_if(m_announcements, [this](const auto &a) { return a.first <= m_received; });
    if (m_publisher == Publisher::Absent && now - m_absentSince >= m_timing.absence) {
        m_publisher = Publisher::Ended; // gone long enough without a word: it is not coming back
        m_asked.reset();
        giveUpBelow(endToGiveUp());
        m_gone.clear();
    }
    if (m_asked && m_asked->deadline <= now) {
        const bool progressed = m_next > m_asked->nextWhenAsked;
        m_asked.reset();
        if (m_publisher == Publisher::Ended && !progressed) {
            // The last request went unanswered: nobody is left to send what is missing.
            giveUpBelow(endToGiveUp());
            m_gone.clear();
        } else if (!progressed) {
            m_wait = std::min(2 * m_wait, m_timing.lastWait);
        }
    }
    advance(now);
}

qint64 Reassembly::nextDeadline() const
{
    qint64 next = m_asked ? m_asked->deadline : -1;
    const auto sooner = [&next](qint64 at) { next = next < 0 ? at : std::min(next, at); };
    for (const auto &[count, at] : m_announcements)
        if (count > m_received && m_publisher != Publisher::Ended) {
            sooner(at + m_timing.announceGrace);
            break;
        }
    if (m_publisher == Publisher::Absent && !settled())
        sooner(m_absentSince + m_timing.absence);
    return next;
}
