#pragma once

#include <QPoint>
#include <QRect>
#include <cmath>

// Layouts and drawing coordinates are given in twips; the screen works in device-independent
// pixels at 96 dpi, that is 15 twips per pixel (Qt scales further on high-dpi screens).
namespace twips {

inline constexpr int kPerPixel = 15;

/// Twips to pixels, rounded to the nearest pixel. Rounding (not truncating) keeps a box drawn
/// a few twips inside a line from landing on that line's pixel.
inline int px(double t) { return static_cast<int>(std::floor(t / kPerPixel + 0.5)); }

inline QPoint point(double x, double y) { return {px(x), px(y)}; }

/// A rectangle given as Left, Top, Width, Height in twips.
inline QRect rect(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}

} // namespace twips
