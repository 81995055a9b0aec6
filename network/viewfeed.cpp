#include "viewfeed.h"

#include <QtEndian>

#include <cstring>

void ViewFeed::add(quint64 index, quint16 value, qint64 unixNanos)
{
    if (m_count && index != m_first + m_count)
        clear(); // a message covers consecutive samples only
    qint64 ms = (unixNanos - m_start) / 1000000;
    if (ms < 0)
        ms = 0;
    if (!m_ms.empty() && ms < m_ms.back().ms)
        ms = m_ms.back().ms; // arrivals do not run back
    if (m_ms.empty() || ms != m_ms.back().ms) {
        if (!m_ms.empty() && ms - m_ms.front().ms >= kMaxMilliseconds)
            clear();
        m_ms.push_back({ms, value, value});
    } else {
        Millisecond &b = m_ms.back();
        b.min = std::min(b.min, value);
        b.max = std::max(b.max, value);
    }
    if (m_count == 0) {
        m_first = index;
        m_batchKept = true;
        m_batch.session = m_session;
        m_batch.first = index;
    }
    ++m_count;
    m_last = value;
    if (m_batchKept) {
        if (m_count > quint64(kBatchSamples)) {
            m_batchKept = false;
            m_batch.values.clear();
            m_batch.times.clear();
        } else {
            m_batch.append(value, unixNanos);
        }
    }
}

void ViewFeed::clear()
{
    m_count = 0;
    m_ms.clear();
    m_batch.values.clear();
    m_batch.times.clear();
}

QByteArray ViewFeed::take()
{
    QByteArray out;
    if (m_count == 0)
        return out;
    if (m_batchKept && batchformat::kHeaderSize + 2 * m_batch.values.size() +
                               batchformat::kStepSize * (m_batch.times.size() - 1) <=
                           size_t(kBatchBytes))
        out = m_batch.encode();
    else
        out = encodeEnvelope();
    clear();
    return out;
}

QByteArray ViewFeed::encodeEnvelope() const
{
    using namespace viewformat;
    QByteArray out(kHeaderSize + kMillisecondSize * qsizetype(m_ms.size()), '\0');
    uchar *p = reinterpret_cast<uchar *>(out.data());
    std::memcpy(p, kMagic, 4);
    qToLittleEndian<quint16>(kVersion, p + 4);
    qToLittleEndian<quint16>(kHeaderSize, p + 6);
    qToLittleEndian<quint64>(m_session, p + 8);
    qToLittleEndian<quint64>(m_first, p + 16);
    qToLittleEndian<quint32>(quint32(m_count), p + 24);
    qToLittleEndian<quint32>(quint32(m_ms.size()), p + 28);
    qToLittleEndian<qint64>(m_ms.front().ms, p + 32);
    qToLittleEndian<quint16>(m_last, p + 40);
    uchar *q = p + kHeaderSize;
    for (const Millisecond &b : m_ms) {
        qToLittleEndian<quint32>(quint32(b.ms - m_ms.front().ms), q);
        qToLittleEndian<quint16>(b.min, q + 4);
        qToLittleEndian<quint16>(b.max, q + 6);
        q += kMillisecondSize;
    }
    return out;
}

std::optional<ViewFeed::Envelope> ViewFeed::decode(QByteArrayView payload)
{
    using namespace viewformat;
    if (payload.size() < kHeaderSize)
        return std::nullopt;
    const uchar *p = reinterpret_cast<const uchar *>(payload.data());
    if (std::memcmp(p, kMagic, 4) != 0 || qFromLittleEndian<quint16>(p + 4) != kVersion)
        return std::nullopt;
    const quint16 header = qFromLittleEndian<quint16>(p + 6);
    const quint32 k = qFromLittleEndian<quint32>(p + 28);
    Envelope e;
    e.session = qFromLittleEndian<quint64>(p + 8);
    e.first = qFromLittleEndian<quint64>(p + 16);
    e.count = qFromLittleEndian<quint32>(p + 24);
    e.last = qFromLittleEndian<quint16>(p + 40);
    if (header < kHeaderSize || k == 0 || e.count == 0 || e.session == 0 ||
        qint64(payload.size()) != qint64(header) + qint64(kMillisecondSize) * k ||
        e.first >= batchformat::kIndexLimit - e.count)
        return std::nullopt;
    const qint64 firstMs = qFromLittleEndian<qint64>(p + 32);
    const uchar *q = p + header;
    for (quint32 i = 0; i < k; ++i, q += kMillisecondSize) {
        const quint32 offset = qFromLittleEndian<quint32>(q);
        const Millisecond b{firstMs + offset, qFromLittleEndian<quint16>(q + 4), qFromLittleEndian<quint16>(q + 6)};
        if ((i == 0) != (offset == 0) || (i > 0 && b.ms <= e.milliseconds.back().ms) || b.min > b.max)
            return std::nullopt;
        e.milliseconds.push_back(b);
    }
    return e;
}
