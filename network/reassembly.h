#pragma once

#include "batchformat.h"
#include "batchstore.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

/// Puts the batches of one session back in index order from sample 0.
///
/// Missing samples are asked for a piece at a time, from the oldest, so that a re-sent flood
/// never outruns a slow subscriber's queue at the broker; a piece that does not come is asked
/// for again, less and less often, for as long as the publisher is there. A gap is given up only
/// on the publisher's word (it no longer has those samples) or on its absence: its session ended
/// and a last request went unanswered, or it has been gone without a word for `absence`. Samples
/// that come after their place was given up are counted as late, not as duplicates.
///
/// Memory: the batches waiting behind a gap are bounded (pendingLimitBytes, each batch counted
/// with its bookkeeping). Past the bound the newest waiting batches are let go: they are known to
/// exist, so they are asked for again once the gap before them closes (the publisher keeps them
/// in memory or in its raw recording; if it no longer has them, it says so).
///
/// Batches and announced counts far past what the session can have produced since it was first
/// heard (at the line's highest rate, doubled, plus a margin) are refused.
///
/// Pure logic: the caller says what time it is (ms on any steady clock) and acts on take().
class Reassembly
{
public:
    static constexpr quint64 kPieceSamples = 4 * 16384; ///< asked for at once, at most
    static constexpr qint64 kEntryBytes = 96;           ///< a waiting batch's bookkeeping, counted in the bound
    static constexpr qint64 kPlausibleSlackMs = 10000;
    static constexpr quint64 kPlausibleSlackSamples = 65536;

    struct Timing
    {
        qint64 firstWait = 5000;     ///< before a piece asked for is asked for again
        qint64 lastWait = 60000;     ///< the wait doubles up to this while the publisher is there
        qint64 announceGrace = 2000; ///< an announced count is asked for once it is this old and still missing
        qint64 absence = 120000;     ///< a publisher gone without its goodbye for this long has ended
    };

    enum class Publisher {
        Live,   ///< online, or its device lost: it answers requests
        Absent, ///< its connection was lost (the broker published its will): it may come back
        Ended,  ///< it said goodbye: its session is over
    };

    struct Output
    {
        enum Kind {
            Ready,   ///< batch: the next samples, in order
            Request, ///< range: ask the publisher for these again
            Missing, ///< range: given up; the samples after it follow
        } kind;
        Batch batch;
        SampleRange range;
    };

    enum class Verdict { Taken, TooFarAhead };

    Reassembly(Timing timing, qint64 pendingLimitBytes) : m_timing(timing), m_pendingLimit(pendingLimitBytes) {}

    /// The line's highest possible rate, in samples per ms (for what is plausible).
    /// (the highest told so far holds: a line made faster mid-session keeps its past).
    void setMaxRate(double samplesPerMs)
    {
        m_maxRate = m_rateKnown ? std::max(m_maxRate, samplesPerMs) : samplesPerMs;
        m_rateKnown = true;
    }
    /// Samples below end are wanted: nothing beyond is asked for, and an ended publisher's
    /// missing end up to it is given up.
    void setTarget(quint64 end) { m_target = end; }

    /// A batch of the session, received at now.
    Verdict add(Batch batch, qint64 now);
    /// The publisher says its session holds samples below count; false: implausible, ignored.
    bool announce(quint64 count, qint64 now);
    /// The publisher says it cannot send these samples; those from heldEnd on do not exist yet,
    /// so they are not given up (nullopt: the whole range is gone).
    void unavailable(SampleRange range, std::optional<quint64> heldEnd, qint64 now);
    void setPublisher(Publisher p, qint64 now);
    /// The connection to the broker is back: what is missing is asked for now.
    void kick(qint64 now);
    void tick(qint64 now);
    /// When tick() has something to do next (-1: nothing pending).
    qint64 nextDeadline() const;
    std::vector<Output> take() { return std::exchange(m_out, {}); }

    /// Nothing known to exist is missing, nothing is asked for.
    bool settled() const { return !m_asked && m_next >= knownEnd(); }
    /// Samples below this have been handed out or given up.
    quint64 next() const { return m_next; }
    /// The end of what the publisher is known to have produced (received or announced).
    quint64 knownEnd() const { return std::max(m_received, m_announced); }
    quint64 duplicates() const { return m_duplicates; }
    /// Samples that came after their place had been given up.
    quint64 late() const { return m_late; }
    /// Samples let go at the memory bound (asked for again later).
    quint64 letGo() const { return m_letGo; }
    const std::vector<SampleRange> &givenUp() const { return m_givenUp; }
    qint64 pendingBytes() const { return m_pendingBytes; }

private:
    struct Asked
    {
        SampleRange range;
        qint64 deadline;
        quint64 nextWhenAsked;
    };
    quint64 plausibleEnd(qint64 now) const;
    void anchor(qint64 now);
    void countBehind(quint64 first, quint64 end);
    void insertUncovered(Batch batch);
    void trimToBound();
    void advance(qint64 now);
    void giveUpBelow(quint64 end);
    void emitMissing(SampleRange range);
    quint64 askableEnd(qint64 now) const;
    quint64 endToGiveUp() const;
    std::optional<SampleRange> firstMissing(qint64 now) const;
    void ask(qint64 now);
    void deadlinePassed(qint64 now);

    Timing m_timing;
    qint64 m_pendingLimit;
    double m_maxRate = 600.0; // samples per ms: 1.2 MB/s, the fastest line an adapter reaches
    bool m_rateKnown = false;
    quint64 m_target = 0;
    quint64 m_next = 0;     // first sample not yet handed out
    quint64 m_received = 0; // end of the newest batch received
    quint64 m_announced = 0;
    std::deque<std::pair<quint64, qint64>> m_announcements; // (count, when heard), not yet askable
    std::map<quint64, Batch> m_pending;                     // disjoint, all after m_next
    qint64 m_pendingBytes = 0;
    std::vector<SampleRange> m_gone;    // the publisher said so; ascending, at or after m_next
    std::vector<SampleRange> m_givenUp; // ascending, joined
    std::optional<Asked> m_asked;
    qint64 m_wait = 0; // the current wait before asking again
    Publisher m_publisher = Publisher::Live;
    qint64 m_absentSince = -1;
    bool m_anchored = false;
    quint64 m_anchorIndex = 0;
    qint64 m_anchorTime = 0;
    quint64 m_duplicates = 0;
    quint64 m_late = 0;
    quint64 m_letGo = 0;
    std::vector<Output> m_out;
};
