#include "wallclock.h"

#include <chrono>

namespace wallclock {

qint64 nowUnixNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QDateTime fixedOffset(const QDateTime &t)
{
    return t.toOffsetFromUtc(t.offsetFromUtc());
}

QDateTime fromUnixNanos(qint64 unixNanos)
{
    return fixedOffset(QDateTime::fromMSecsSinceEpoch(unixNanos / 1'000'000));
}

} // namespace wallclock
