#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>

/// When a recording goes on in a new set of files: every period of the samples' clock (at whole
/// multiples of it from the start, so parts line up with tiempo_s) or once a file of the part
/// reaches a size. Each part is named after the recording with its number: "ensayo.csv" gives
/// "ensayo-000001.csv", "ensayo-000002.csv", … (six digits at least, so that ls sorts them).
struct Rotation
{
    qint64 periodNanos = 0; ///< 0: not by time
    qint64 bytes = 0;       ///< 0: not by size

    bool enabled() const { return periodNanos > 0 || bytes > 0; }
    /// "30s", "15min", "1h", "1d" (a period, 1 s to 366 d) or "500kB", "200MB", "2GB" (a size,
    /// 1 kB to 1000 GB, in powers of 1000); nothing else.
    static std::optional<Rotation> parse(const QString &text);
    /// The name of part n (from 1) of the recording named path.
    static QByteArray partPath(const QByteArray &path, quint64 n);
    /// Parts of an earlier recording by this name in its folder (the first found, or empty):
    /// a rotation must not reach one and stop there.
    static QByteArray existingPart(const QByteArray &path);
};
