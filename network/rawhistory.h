#pragma once

#include "batchformat.h"

#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

/// Reads bytes of the raw recording at stream positions into a buffer; returns how many it read
/// (fewer near the end of what has been written, 0 or less when it cannot read).
using RawReader = std::function<qint64(qint64 position, char *into, qint64 size)>;

/// A RawReader over a raw recording file whose first byte is at stream position firstPosition.
/// The file is opened at the first read (the recorder may create it later) and closed when the
/// last copy of the reader goes.
RawReader rawFileReader(const QString &path, qint64 firstPosition = 0);

/// Reads any past sample back from the raw recording, for re-sending beyond memory. The raw file
/// holds the bytes as they arrived, so sample i lies at stream position 2i until bytes are dropped
/// (a half sample cut by a lost port, bytes discarded while waiting); each sample's own stream end
/// tells where, and the few places where that shifts are kept. Arrival times are not in the raw
/// file: a sample read back carries the arrival time of the first sample of its original batch.
class RawHistory
{
public:
    explicit RawHistory(RawReader reader = {}) : m_reader(std::move(reader)) {}

    bool enabled() const { return bool(m_reader); }
    /// Every sample, in order: where its bytes end in the stream.
    void noteSample(quint64 index, qint64 streamEnd)
    {
        const qint64 shift = streamEnd - 2 - 2 * qint64(index);
        if (m_runs.empty() || m_runs.back().second != shift)
            m_runs.emplace_back(index, shift);
    }
    /// Every batch: its first sample's arrival time.
    void noteBatch(quint64 first, qint64 unixNanos) { m_marks.emplace_back(first, unixNanos); }
    /// Samples from [from, to) read back (fewer when the file ends sooner or the stream shifts
    /// within the range; none when nothing can be read).
    Batch read(quint64 session, quint64 from, quint64 to) const;

private:
    RawReader m_reader;
    std::vector<std::pair<quint64, qint64>> m_runs;  // (first index, shift) where the shift changes
    std::vector<std::pair<quint64, qint64>> m_marks; // (first index of a batch, its arrival, Unix ns)
};
