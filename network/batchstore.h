#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <deque>
#include <map>
#include <vector>

/// A run of sample indices [first, first + count).
struct SampleRange
{
    quint64 first = 0;
    quint64 count = 0;
    quint64 end() const { return first + count; }
    bool operator==(const SampleRange &) const = default;
};

/// Sample ranges, joined where they touch or overlap.
class SampleRanges
{
public:
    void add(quint64 first, quint64 end);
    /// Takes the samples [first, end) out of the ranges, wherever they fall.
    void remove(quint64 first, quint64 end);
    /// How many of the samples [first, end) are in the ranges.
    quint64 overlap(quint64 first, quint64 end) const;
    /// How many samples the ranges hold.
    quint64 total() const { return m_total; }

private:
    std::map<quint64, quint64> m_ranges; // first → end, apart and not touching
    quint64 m_total = 0;
};

/// The batches published lately, oldest first, within a bound on their bytes: those the broker
/// has not acknowledged yet (to send again, in order, after a reconnect) and, in the room left,
/// those it has (to answer re-sending requests). Past the bound the oldest go first. An
/// unacknowledged batch that goes before it was sent is lost to the broker, and add() says so;
/// one that goes while on its way is lost only if its connection ends before the broker
/// confirms it, and connectionLost() says so then.
class BatchStore
{
public:
    struct Entry
    {
        quint64 first;
        quint32 count;
        QByteArray payload;
        bool sent = false;  ///< on the current connection
        bool acked = false; ///< the broker has it
        quint64 end() const { return first + count; }
    };

    explicit BatchStore(qint64 limitBytes) : m_limit(limitBytes) {}

    /// Adds the next batch (its first index follows the last one's, or starts a new run); returns
    /// the samples dropped to stay within the bound that can no longer reach the broker, oldest
    /// first.
    std::vector<SampleRange> add(quint64 first, quint32 count, QByteArray payload);
    /// The oldest batch not yet sent on this connection, or nullptr.
    Entry *nextUnsent();
    void markSent(Entry &e);
    /// The broker acknowledged the batch starting at first (dropped on its way meanwhile: it
    /// reached the broker all the same).
    void acknowledge(quint64 first);
    /// The connection ended: whatever is held and not acknowledged is to be sent again; returns
    /// the samples dropped while on their way on it, now lost, oldest first.
    std::vector<SampleRange> connectionLost();
    /// The batch holding this index, or nullptr.
    const Entry *find(quint64 index) const;

    bool allAcknowledged() const { return m_unacked == 0 && m_onItsWay.empty(); }
    /// Samples of batches not acknowledged (those dropped on their way included), less those known to have reached the broker otherwise
    /// (sent again on request, in batches of their own).
    quint64 unacknowledgedSamples(const SampleRanges *delivered = nullptr) const;
    /// Index of the oldest sample held (end() when empty).
    quint64 oldest() const { return m_entries.empty() ? m_end : m_entries.front().first; }
    /// Index just past the newest sample held.
    quint64 end() const { return m_end; }
    qint64 bytes() const { return m_bytes; }
    qint64 limit() const { return m_limit; }
    void setLimit(qint64 bytes) { m_limit = bytes; }

private:
    Entry *entryAt(quint64 index);

    std::deque<Entry> m_entries;
    qint64 m_limit;
    qint64 m_bytes = 0;
    quint64 m_end = 0;
    quint64 m_sendFrom = 0; // every batch below this was sent on the current connection
    size_t m_unacked = 0;
    std::map<quint64, quint32> m_onItsWay; // dropped while sent and unconfirmed: first → count
};
