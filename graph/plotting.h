#pragma once

#include <QPointF>
#include <optional>

// The arithmetic of the live trace, kept apart from the window so it can be checked alone.
namespace plotting {

inline constexpr int kSlots = 1000;
inline constexpr double kOriginX = 500;   // x of slot 0
inline constexpr int kBaseline = 5500;    // y of value 0
inline constexpr quint32 kPointColour = 255; // red, as 0x00BBGGRR
inline constexpr QPointF kEraseFrom{505, 601};
inline constexpr QPointF kEraseTo{10490, 5495};

/// Calls visit(slot) for each slot a pass plots, in order: from the cursor up to the counter,
/// or, when the counter has wrapped since the last pass, from the cursor up to 999 and then
/// from 0 up to the counter.
template <typename Visit>
void forEachSlot(int cursor, int counter, Visit visit)
{
    if (counter >= cursor) {
        for (int i = cursor; i <= counter; ++i)
            visit(i);
        return;
    }
    for (int i = cursor; i < kSlots; ++i)
        visit(i);
    for (int i = 0; i <= counter; ++i)
        visit(i);
}

/// The slot before whose point the plot area is erased: zoom − 10 when that is a whole number
/// from 0 to 999; otherwise the area is never erased.
std::optional<int> eraseSlot(double zoom);

/// Where a sample is drawn, in twips: x = 500 + slot × zoom, y = 5500 − value, as the single
/// precision numbers the drawing takes. Nothing when x does not fit in single precision.
std::optional<QPointF> pointOf(int slot, qint32 value, double zoom);

} // namespace plotting
