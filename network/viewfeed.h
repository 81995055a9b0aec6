#pragma once

#include "batchformat.h"

#include <QByteArray>
#include <QtGlobal>

#include <optional>
#include <vector>

// What a browser is sent of a bench, on TEMA/vista, every kIntervalMs while samples come: the
// samples since the previous message as a batch (batchformat.h) while they are few, else the
// minimum and maximum of each millisecond of their arrival (an envelope). So a page draws any
// bench faithfully down to a millisecond a pixel column, and what it is sent stays within what
// a broker's websockets listener delivers (Mosquitto 2.0 writes about 4 KB to each websockets
// client per turn of its loop, and a turn comes with each message it receives).
//
// An envelope, everything little-endian:
//
//   offset size
//        0    4  magic "DVEN"
//        4    2  format version (1)
//        6    2  header size in bytes (48): where the milliseconds start
//        8    8  session (u64)
//       16    8  index of the first sample it covers (u64)
//       24    4  samples covered n (u32, at least 1)
//       28    4  milliseconds k (u32, at least 1)
//       32    8  the first millisecond, counted from the session's start (i64, inicio_unix_ns)
//       40    2  value of the last sample covered (u16)
//       42    6  zero
//       48   8k  per millisecond in which samples arrived: u32 its offset from the first
//               (0 first, then rising strictly), u16 minimum, u16 maximum
namespace viewformat {
constexpr char kMagic[4] = {'D', 'V', 'E', 'N'};
constexpr quint16 kVersion = 1;
constexpr int kHeaderSize = 48;
constexpr int kMillisecondSize = 8;
} // namespace viewformat

class ViewFeed
{
public:
    static constexpr int kIntervalMs = 25;
    /// Sent as a batch up to this many samples and this size; a batch larger than one turn of
    /// the broker's websockets writes would reach a browser later and later.
    static constexpr int kBatchSamples = 1024;
    static constexpr int kBatchBytes = 3584;
    /// An envelope spans at most this many milliseconds (a broker that does not take them):
    /// older ones are let go, and a page counts them as not received.
    static constexpr int kMaxMilliseconds = 2000;

    ViewFeed(quint64 session, qint64 startUnixNanos) : m_session(session), m_start(startUnixNanos) {}
    void setStart(qint64 startUnixNanos) { m_start = startUnixNanos; }

    void add(quint64 index, quint16 value, qint64 unixNanos);
    bool empty() const { return m_count == 0; }
    /// The next message's payload; the feed starts anew.
    QByteArray take();
    void clear();

    struct Millisecond
    {
        qint64 ms;
        quint16 min;
        quint16 max;
    };
    /// Reads an envelope: nullopt unless it holds together as described above.
    struct Envelope
    {
        quint64 session = 0;
        quint64 first = 0;
        quint32 count = 0;
        quint16 last = 0;
        std::vector<Millisecond> milliseconds;
    };
    static std::optional<Envelope> decode(QByteArrayView payload);

private:
    QByteArray encodeEnvelope() const;

    quint64 m_session;
    qint64 m_start;
    quint64 m_first = 0;
    quint64 m_count = 0;
    quint16 m_last = 0;
    Batch m_batch; // while the samples are few
    bool m_batchKept = true;
    std::vector<Millisecond> m_ms;
};
