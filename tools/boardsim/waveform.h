#pragma once

#include <cmath>
#include <cstdint>

// The simulated board's signal: a slow sine with a faster ripple, always within 0..5000 so that
// it fits the graph's scale.
namespace boardsim {

inline uint16_t sampleAt(uint64_t n)
{
    constexpr double kPi = 3.14159265358979323846;
    const double slow = std::sin(2 * kPi * double(n) / 960.0);
    const double ripple = std::sin(2 * kPi * double(n) / 37.0);
    const double v = 2500 + 1900 * slow + 400 * ripple;
    return static_cast<uint16_t>(std::lround(v < 0 ? 0 : (v > 5000 ? 5000 : v)));
}

} // namespace boardsim
