#pragma once

#include <QDateTime>

// Wall-clock times as the program writes them: local, with the offset from UTC in force at that
// instant written into them, so that "…T10:00:00.000+02:00" stays right when the zone changes.
namespace wallclock {

/// Now, as nanoseconds since the Unix epoch.
qint64 nowUnixNanos();

/// The same instant in local time, with its offset from UTC fixed.
QDateTime fixedOffset(const QDateTime &t);

/// A time in Unix nanoseconds as local time with its offset fixed (to the millisecond).
QDateTime fromUnixNanos(qint64 unixNanos);

} // namespace wallclock
