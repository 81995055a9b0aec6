#pragma once

#include "batchformat.h"
#include "batchstore.h"

#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

/// Puts the batches of one session back in index order from sample 0. Duplicates are dropped.
/// Missing samples are asked for once, a piece at a time (the next piece once the previous one
/// has come or been given up), so that a re-sent flood never outruns a slow subscriber's queue
/// at the broker. A piece is given up when the publisher says it no longer has it, or when it
/// has not come after the wait; what is given up is said, and passed.
/// Pure logic: the caller says what time it is (ms on any steady clock) and acts on take().
class Reassembly
{
public:
    static constexpr quint64 kPieceSamples = 4 * 16384; ///< asked for at once, at most

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

    Reassembly(qint64 waitMs, qint64 pendingLimitBytes) : m_wait(waitMs), m_pendingLimit(pendingLimitBytes) {}

    /// A batch of the session, received at now.
    void add(Batch batch, qint64 now);
    /// The publisher says its session holds samples below count (received at now).
    void announce(quint64 count, qint64 now);
    /// The publisher says it can no longer send these samples.
    void unavailable(SampleRange range, qint64 now);
    /// Asks for what was announced and has not come, and gives up on a piece whose wait ran out.
    void tick(qint64 now);
    /// When tick() has something to do next (-1: nothing pending).
    qint64 nextDeadline() const;
    /// The publisher is gone (its will, or its goodbye): a piece that has waited its time makes
    /// every other one given up too, since nobody is left to send them.
    void setPublisherGone(bool gone) { m_publisherGone = gone; }
    /// Nothing is asked for or waiting to be asked for.
    bool settled() const { return !m_asked && m_unasked.empty(); }
    std::vector<Output> take() { return std::exchange(m_out, {}); }

    /// Samples below this have been handed out or given up.
    quint64 next() const { return m_next; }
    quint64 duplicates() const { return m_duplicates; }

private:
    struct Asked
    {
        SampleRange range;
        qint64 deadline;
    };
    void insertUncovered(Batch batch);
    void advance(qint64 now);
    void giveUpBelow(quint64 end);
    void missingFrom(quint64 seen, quint64 to);
    void askNext(qint64 now);

    qint64 m_wait;
    qint64 m_pendingLimit;
    quint64 m_next = 0; // first sample not yet handed out
    quint64 m_seen = 0; // everything below was received or noted missing
    std::map<quint64, Batch> m_pending; // disjoint, all at or after m_next
    qint64 m_pendingBytes = 0;
    std::deque<SampleRange> m_unasked; // missing, in order, not asked for yet
    std::optional<Asked> m_asked;      // the piece asked for
    std::vector<SampleRange> m_unavailable; // within the piece asked for
    quint64 m_announced = 0;
    qint64 m_announcedAt = -1; // when m_awaited, an announced count beyond m_seen, was heard
    quint64 m_awaited = 0;
    quint64 m_duplicates = 0;
    bool m_publisherGone = false;
    std::vector<Output> m_out;
};
