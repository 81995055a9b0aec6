#include "plotting.h"

#include <cmath>
#include <limits>

namespace plotting {

std::optional<int> eraseSlot(double zoom)
{
    const double e = zoom - 10;
    if (!(e >= 0 && e <= kSlots - 1) || e != std::floor(e))
        return std::nullopt;
    return static_cast<int>(e);
}

std::optional<QPointF> pointOf(int slot, qint32 value, double zoom)
{
    const double x = kOriginX + slot * zoom;
    if (!std::isfinite(x) || std::abs(x) > std::numeric_limits<float>::max())
        return std::nullopt;
    const float y = static_cast<float>(kBaseline - value);
    return QPointF(static_cast<float>(x), y);
}

} // namespace plotting
