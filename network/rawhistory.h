#pragma once

#include "batchformat.h"

#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

/// Where a raw recording is read back from.
struct RawReader
{
    /// Reads bytes of the raw recording at stream positions into a buffer; returns how many it
    /// read (fewer near the end of what has been written, 0 or less when it cannot read).
    std::function<qint64(qint64 position, char *into, qint64 size)> read;
    /// The recording's folder: the arrival times are kept beside it (empty: in the system's
    /// temporary folder).
    QString folder;

    explicit operator bool() const { return bool(read); }
};

/// A RawReader over a raw recording file whose first byte is at stream position firstPosition.
/// The file is opened at the first read (the recorder may create it later) and closed when the
/// last copy of the reader goes.
RawReader rawFileReader(const QString &path, qint64 firstPosition = 0);

/// The arrival times of a run, as steps (absolute index of the first sample that arrived at a
/// time, Unix ns), appended in index order and looked up by index. They live in an unlinked
/// temporary file of 16-byte records, written through a 4 KiB buffer, so memory stays at that
/// buffer however long the run: disk takes 16 bytes per step, at most ~1000 steps a second (one
/// per serial read), about 58 MB an hour, freed by the system when the file is closed.
class ArrivalSteps
{
public:
    struct Step
    {
        quint64 index;
        qint64 unixNanos;
    };

    ArrivalSteps() = default;
    ArrivalSteps(const ArrivalSteps &) = delete;
    ArrivalSteps &operator=(const ArrivalSteps &) = delete;
    ~ArrivalSteps();

    /// Opens the file in this folder, else in the system's temporary folder; on failure, why
    /// (in Spanish, naming the folders and the system's reasons).
    QString open(const QString &folder);
    bool writable() const { return m_writable; }
    /// Appends a step (its index above the last one's); on a failed write, why: nothing more is
    /// written then, what could not be kept is added to lost, and what was written stays readable.
    QString append(const Step &step, std::vector<Step> &lost);
    /// The step in force at from (the last one at or before it, if any), then those within (from, to).
    std::vector<Step> stepsFor(quint64 from, quint64 to) const;

private:
    static constexpr size_t kBufferSteps = 256;
    size_t count() const { return m_written + m_buffer.size(); }
    /// Steps [k, k + n) of all kept so far (fewer when the file cannot be read).
    std::vector<Step> at(size_t k, size_t n) const;
    QString flush(std::vector<Step> &lost);

    int m_fd = -1;
    bool m_writable = false;
    QString m_folder;
    size_t m_written = 0; // steps in the file; those after are in m_buffer
    std::vector<Step> m_buffer;
};

/// Reads any past sample back from the raw recording, for re-sending beyond memory. The raw file
/// holds the bytes as they arrived, so sample i lies at stream position 2i until bytes are dropped
/// (a half sample cut by a lost port, bytes discarded while waiting); each sample's own stream end
/// tells where, and the few places where that shifts are kept. Arrival times are not in the raw
/// file: every time step of every batch is kept in ArrivalSteps (see there for the bound), so a
/// sample read back carries its own arrival time. Where no file can hold them, each batch keeps
/// only its first sample's time, in memory, and its samples read back carry that.
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
    /// Every batch, in order: the arrival times of its samples. Returns a warning (in Spanish)
    /// the one time the times can no longer be kept exactly; empty otherwise.
    QString noteBatch(const Batch &b);
    /// The warning noteBatch returned, if it did.
    const QString &warning() const { return m_warning; }
    /// Samples from [from, to) read back (fewer when the file ends sooner or the stream shifts
    /// within the range; none when nothing can be read).
    Batch read(quint64 session, quint64 from, quint64 to) const;

private:
    std::vector<ArrivalSteps::Step> stepsFor(quint64 from, quint64 to) const;
    void keep(const ArrivalSteps::Step &step);

    RawReader m_reader;
    std::vector<std::pair<quint64, qint64>> m_runs;  // (first index, shift) where the shift changes
    ArrivalSteps m_steps;
    bool m_stepsTried = false;
    bool m_hasLast = false;
    qint64 m_lastNanos = 0;
    std::vector<ArrivalSteps::Step> m_marks; // without the file: (first index of a batch, its arrival)
    QString m_warning;
};
