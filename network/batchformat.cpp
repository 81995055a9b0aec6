#include "batchformat.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

qint64 Batch::arrivalAt(size_t offset) const
{
    const auto after = std::upper_bound(times.begin(), times.end(), offset,
                                        [](size_t o, const TimeStep &t) { return o < t.offset; });
    return after == times.begin() ? 0 : std::prev(after)->unixNanos;
}

Batch Batch::slice(quint64 from, quint64 to) const
{
    Batch out;
    out.session = session;
    from = std::clamp(from, first, end());
    to = std::clamp(to, from, end());
    out.first = from;
    const size_t begin = from - first;
    const size_t stop = to - first;
    out.values.assign(values.begin() + begin, values.begin() + stop);
    if (begin == stop)
        return out;
    out.times.push_back({0, arrivalAt(begin)});
    auto it = std::upper_bound(times.begin(), times.end(), begin,
                               [](size_t o, const TimeStep &t) { return o < t.offset; });
    for (; it != times.end() && it->offset < stop; ++it)
        out.times.push_back({quint32(it->offset - begin), it->unixNanos});
    return out;
}

void Batch::append(quint16 value, qint64 unixNanos)
{
    if (times.empty() || times.back().unixNanos != unixNanos)
        times.push_back({quint32(values.size()), unixNanos});
    values.push_back(value);
}

QByteArray Batch::encode() const
{
    using namespace batchformat;
    const qsizetype n = qsizetype(values.size());
    const qsizetype m = times.empty() ? 0 : qsizetype(times.size()) - 1; // the first is in the header
    QByteArray out(kHeaderSize + 2 * n + kStepSize * m, Qt::Uninitialized);
    uchar *p = reinterpret_cast<uchar *>(out.data());
    std::memcpy(p, kMagic, 4);
    qToLittleEndian<quint16>(kVersion, p + 4);
    qToLittleEndian<quint16>(kHeaderSize, p + 6);
    qToLittleEndian<quint64>(session, p + 8);
    qToLittleEndian<quint64>(first, p + 16);
    qToLittleEndian<quint32>(quint32(n), p + 24);
    qToLittleEndian<quint32>(quint32(m), p + 28);
    const qint64 t0 = times.empty() ? 0 : times.front().unixNanos;
    qToLittleEndian<qint64>(t0, p + 32);
    if (n > 0)
        qToLittleEndian<quint16>(values.data(), n, p + kHeaderSize);
    uchar *step = p + kHeaderSize + 2 * n;
    for (qsizetype i = 1; i <= m; ++i, step += kStepSize) {
        qToLittleEndian<quint32>(times[i].offset, step);
        qToLittleEndian<qint64>(times[i].unixNanos - t0, step + 4);
    }
    return out;
}

namespace {

std::optional<Batch> refuse(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return std::nullopt;
}

// The time steps after the header's first: offsets rising within the count, times rising and
// plausible (an offset from t0 that stays within the range cannot overflow).
std::optional<Batch> readSteps(Batch b, const uchar *step, qint64 m, QString *why)
{
    using namespace batchformat;
    const qint64 t0 = b.times.front().unixNanos;
    const qint64 n = qint64(b.values.size());
    qint64 previous = 0;
    for (qint64 i = 0; i < m; ++i, step += kStepSize) {
        const quint32 offset = qFromLittleEndian<quint32>(step);
        const qint64 delta = qFromLittleEndian<qint64>(step + 4);
        if (offset <= b.times.back().offset || offset >= n)
            return refuse(why, QStringLiteral("lote con pasos de tiempo desordenados (desplazamiento %1 tras %2, en un "
                                              "lote de %3 muestras)").arg(offset).arg(b.times.back().offset).arg(n));
        if (delta <= previous || delta >= kLatestUnixNanos - t0)
            return refuse(why, QStringLiteral("lote con horas de llegada desordenadas o imposibles (paso %1: %2 ns tras "
                                              "la primera)").arg(i + 1).arg(delta));
        previous = delta;
        b.times.push_back({offset, t0 + delta});
    }
    return b;
}

} // namespace

std::optional<Batch> Batch::decode(QByteArrayView payload, QString *why)
{
    using namespace batchformat;
    const auto *p = reinterpret_cast<const uchar *>(payload.data());
    const qint64 size = payload.size();
    if (size < kHeaderSize || std::memcmp(p, kMagic, 4) != 0)
        return refuse(why, QStringLiteral("no es un lote de muestras (falta la marca DVMQ)"));
    const quint16 version = qFromLittleEndian<quint16>(p + 4);
    if (version != kVersion)
        return refuse(why, QStringLiteral("lote en un formato de versión %1; este programa lee la %2").arg(version).arg(kVersion));
    const qint64 header = qFromLittleEndian<quint16>(p + 6);
    const qint64 n = qFromLittleEndian<quint32>(p + 24);
    const qint64 m = qFromLittleEndian<quint32>(p + 28);
    if (header < kHeaderSize || header + 2 * n + kStepSize * m != size || m >= qMax<qint64>(n, 1))
        return refuse(why, QStringLiteral("lote de tamaño incoherente (%1 bytes para %2 muestras y %3 pasos de tiempo)")
                               .arg(size).arg(n).arg(m));
    Batch b;
    b.session = qFromLittleEndian<quint64>(p + 8);
    b.first = qFromLittleEndian<quint64>(p + 16);
    if (b.session == 0)
        return refuse(why, QStringLiteral("lote de la sesión 0, que no existe"));
    if (b.first > kIndexLimit - quint64(n))
        return refuse(why, QStringLiteral("lote con índices fuera de rango (%1 muestras desde la %2; el máximo es %3)")
                               .arg(n).arg(b.first).arg(kIndexLimit - 1));
    const qint64 t0 = qFromLittleEndian<qint64>(p + 32);
    if (t0 < 0 || t0 >= kLatestUnixNanos)
        return refuse(why, QStringLiteral("lote con una hora de llegada imposible (%1 ns desde 1970)").arg(t0));
    if (n == 0)
        return b;
    b.values.resize(size_t(n));
    qFromLittleEndian<quint16>(p + header, n, b.values.data());
    b.times.push_back({0, t0});
    return readSteps(std::move(b), p + header + 2 * n, m, why);
}
