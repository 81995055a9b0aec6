#pragma once

#include "batchstore.h"

#include <QtGlobal>

#include <map>

/// What subscribers asked to have again, merged: overlapping and repeated requests are one
/// range, served from the oldest index, within a byte rate so that a flood of requests costs
/// the bench bounded traffic and never holds up reception or the local recording.
/// Pure logic: the caller says what time it is (ms on any steady clock).
class ResendQueue
{
public:
    static constexpr qint64 kBytesPerSecond = qint64(8) << 20; ///< re-sent samples, at most (a burst of one second)
    static constexpr size_t kMaxRanges = 1024; ///< beyond, a new request joins its nearest neighbour

    void add(SampleRange r);
    bool empty() const { return m_ranges.empty(); }
    /// The oldest range asked for (empty() must be false).
    SampleRange front() const { return {m_ranges.begin()->first, m_ranges.begin()->second - m_ranges.begin()->first}; }
    /// Everything asked for below this is done.
    void doneBelow(quint64 end);
    /// 0 when bytes may go now (and they are counted), else how long to wait (ms).
    qint64 spend(qint64 bytes, qint64 now);

private:
    std::map<quint64, quint64> m_ranges; // first -> end, disjoint and not touching
    double m_tokens = double(kBytesPerSecond);
    qint64 m_refilledAt = -1;
};
