#pragma once

#include "bytequeue.h"
#include "sample.h"

#include <deque>
#include <optional>

/// Received bytes that wait to be read, in order, with what happened in the stream between
/// them. At most limit() bytes wait: beyond it the oldest are discarded in whole samples, so
/// the pairing of the rest is as the board sent it, and a Discarded mark stands where the gap
/// is. Each block keeps its arrival time until it has been read or discarded; when very many
/// wait, blocks that came close together share the first one's time, so the times kept stay
/// bounded and a byte's time is never later than its arrival, nor much earlier.
/// Positions count bytes since the start of the stream.
class WaitingBacklog
{
public:
    static constexpr qsizetype kDefaultLimit = 64 * 1024 * 1024;
    static constexpr size_t kDefaultArrivalLimit = size_t(1) << 20;

    qsizetype size() const { return m_bytes.size(); }
    bool isEmpty() const { return m_bytes.size() == 0; }
    qint64 received() const { return m_received; }
    qint64 consumed() const { return m_consumed; }

    qsizetype limit() const { return m_limit; }
    /// At least 2 bytes; an odd limit is taken as the even number below it.
    void setLimit(qsizetype bytes) { m_limit = qMax<qsizetype>(2, bytes & ~qsizetype(1)); }
    /// How many arrival times are kept at most (for tests; the default suits any limit).
    void setArrivalLimit(size_t entries) { m_arrivalLimit = qMax<size_t>(2, entries); }
    size_t arrivalEntries() const { return m_arrivals.size(); }
    /// Blocks of memory the bytes may take at most; beyond it writing fails as if the system
    /// had no memory left (for tests).
    void setMaxBlocks(qsizetype blocks) { m_bytes.setMaxBlocks(blocks); }

    /// Room to write received bytes into (never empty); throws std::bad_alloc without memory.
    char *room(qsizetype *length) { return m_bytes.room(length); }
    /// Takes n bytes written into room(), arrived at arrivalNanos, and keeps to the limit.
    void commit(qsizetype n, qint64 arrivalNanos);
    /// Discards the oldest waiting bytes, whole samples, down to keep bytes (memory ran out).
    void discardDownTo(qsizetype keep);
    /// Whether the user has stopped reception: it names the cause of a discard at the limit.
    void setReceptionStopped(bool stopped) { m_receptionStopped = stopped; }

    /// The port was opened again: the bytes received from here on start a new stream.
    void markReopened(const QDateTime &when);
    /// The port was lost here.
    void markLost(const QDateTime &when);
    /// The line settings changed: the bytes received from here on came under these.
    void markSettings(const QString &settings, const QDateTime &when);
    /// What happened before the next byte, in stream order; pairing starts afresh after a
    /// Reopened or Discarded mark (bytes of a Reopened mark: the half sample it cut).
    std::optional<StreamEvent> takeDueMark();
    bool hasDueMark() const { return !m_marks.empty() && m_marks.front().position <= m_consumed; }

    quint8 takeByte()
    {
        const quint8 b = m_bytes.front();
        m_bytes.pop();
        ++m_consumed;
        return b;
    }
    /// Copies the first n bytes (n <= size()) to out and removes them.
    void take(char *out, qsizetype n);
    /// Appends a copy of every waiting byte, leaving them to wait.
    void copyWaiting(QByteArray &out) const { m_bytes.copyTo(out); }
    /// When the block holding the byte last taken arrived (0 when none was kept).
    qint64 lastArrival();
    /// Forgets the arrival times of blocks wholly taken (the delivery calls it after a batch).
    void pruneArrivals();

private:
    struct Arrival
    {
        qint64 end; // stream position just past the block
        qint64 nanos;
    };
    void discardTo(qint64 end, DiscardCause cause);
    void coarsenArrivals();
    static bool restartsPairing(const StreamEvent &m)
    {
        return m.kind == StreamEvent::Kind::Reopened || m.kind == StreamEvent::Kind::Discarded;
    }

    ByteQueue m_bytes;
    qsizetype m_limit = kDefaultLimit;
    size_t m_arrivalLimit = kDefaultArrivalLimit;
    qint64 m_received = 0;
    qint64 m_consumed = 0;
    qint64 m_pairBase = 0;         // position of the last restart passed: samples start at even offsets from it
    std::deque<StreamEvent> m_marks; // at or ahead of m_consumed, in stream order
    std::deque<Arrival> m_arrivals;
    qint64 m_arrivalResolution = 0; // blocks this close in time share one entry
    bool m_receptionStopped = false;
};
