#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

// One batch of samples on TEMA/muestras. Everything little-endian:
//
//   offset size
//        0    4  magic "DVMQ"
//        4    2  format version (1)
//        6    2  header size in bytes (40): where the samples start
//        8    8  session (u64, new at each start of the publisher)
//       16    8  index of the first sample (u64, the CSV's "muestra")
//       24    4  sample count n (u32)
//       28    4  time steps m (u32)
//       32    8  arrival time of the first sample, Unix ns (i64)
//       40   2n  the samples, u16
//   40+2n  12m  time steps: u32 offset (within the batch) of a sample whose arrival time differs
//               from the previous sample's, i64 its arrival time in ns after the first sample's
//
// A reader that only wants the values reads the header and the n samples; the steps give each
// sample the arrival time of the block of bytes that completed it.
//
// A reader refuses: session 0 (no session has it); indices at or past 2^63 (first + n above it);
// step offsets that do not rise strictly within 1 … n−1; arrival times that do not rise strictly
// from step to step or lie outside 1970 … 2199.
namespace batchformat {
constexpr char kMagic[4] = {'D', 'V', 'M', 'Q'};
constexpr quint16 kVersion = 1;
constexpr int kHeaderSize = 40;
constexpr int kStepSize = 12;
/// Sample indices stay below this: a count of samples always fits a signed 64-bit number.
constexpr quint64 kIndexLimit = quint64(1) << 63;
/// Unix ns of 2200-01-01T00:00Z: arrival times and starts lie before it.
constexpr qint64 kLatestUnixNanos = 7'258'118'400'000'000'000;
} // namespace batchformat

/// From this sample on (offset within its batch), samples arrived at this wall-clock time.
struct TimeStep
{
    quint32 offset;
    qint64 unixNanos;
    bool operator==(const TimeStep &) const = default;
};

/// A run of consecutive samples of one session with their arrival times.
struct Batch
{
    quint64 session = 0;
    quint64 first = 0;
    std::vector<quint16> values;
    std::vector<TimeStep> times; ///< ascending offsets, the first at 0 (empty only when no values)

    quint64 end() const { return first + values.size(); }
    /// Arrival time (Unix ns) of the sample at this offset.
    qint64 arrivalAt(size_t offset) const;
    /// The samples [from, to) of this batch (clamped to it).
    Batch slice(quint64 from, quint64 to) const;
    /// Appends one sample; a time step is added when its arrival differs from the last.
    void append(quint16 value, qint64 unixNanos);

    QByteArray encode() const;
    /// Reads a payload; nullopt (and why, in Spanish) when it is not a batch this program reads.
    static std::optional<Batch> decode(QByteArrayView payload, QString *why = nullptr);
};
