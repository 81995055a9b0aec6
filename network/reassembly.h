#pragma once

#include "batchformat.h"
#include "batchstore.h"

#include <deque>
#include <map>
#include <utility>
#include <vector>

/// Puts the batches of one session back in index order from sample 0: duplicates are dropped;
/// a gap is asked for once; a gap still open after the wait is given up, said, and passed.
/// Pure logic: the caller says what time it is (ms on any steady clock) and acts on take().
class Reassembly
{
public:
    struct Output
    {
        enum Kind {
            Ready,   ///< batch: the next samples, in order
            Request, ///< range: ask the publisher for these again (once)
            Missing, ///< range: given up; the samples after it follow
        } kind;
        Batch batch;
        SampleRange range;
    };

    Reassembly(qint64 waitMs, qint64 pendingLimitBytes) : m_wait(waitMs), m_pendingLimit(pendingLimitBytes) {}

    /// A batch of the session, received at now.
    void add(Batch batch, qint64 now);
    /// The publisher says its session holds samples below count (received at now).
    void announce(quint64 count, qint64 now);
    /// Asks for what the publisher announced and has not come, and gives up on gaps whose wait
    /// ran out.
    void tick(qint64 now);
    /// When tick() has something to do next (-1: nothing pending).
    qint64 nextDeadline() const;
    std::vector<Output> take() { return std::exchange(m_out, {}); }

    /// Samples below this have been handed out or given up.
    quint64 next() const { return m_next; }
    quint64 duplicates() const { return m_duplicates; }
    qint64 pendingBytes() const { return m_pendingBytes; }

private:
    void insertUncovered(Batch batch);
    void flushReady();
    void giveUpOldest();
    void giveUpBelow(quint64 end);
    void open(quint64 from, quint64 to, qint64 now);

    qint64 m_wait;
    qint64 m_pendingLimit;
    quint64 m_next = 0;       // first sample not yet handed out
    quint64 m_seen = 0;       // everything below was received or asked for
    std::map<quint64, Batch> m_pending; // disjoint, all at or after m_next
    qint64 m_pendingBytes = 0;
    std::deque<std::pair<quint64, qint64>> m_deadlines; // (gap end, when to give up), ascending
    quint64 m_announced = 0;
    qint64 m_announcedAt = -1; // when an announced count beyond m_seen was first heard
    quint64 m_duplicates = 0;
    std::vector<Output> m_out;
};
