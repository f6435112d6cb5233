// Floating-point constants shared by the numerical routines.
#pragma once

#include <limits>

namespace mirvanta::numerics {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kEpsilon = std::numeric_limits<double>::epsilon();  // 2^-52
inline constexpr double kInfinity = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Relative tolerance of every arithmetic-geometric-mean loop: 2.7 epsilon.
inline constexpr double kAgmTolerance = 2.7 * kEpsilon;
static_assert(kAgmTolerance == 5.995204332975846e-16);

}  // namespace mirvanta::numerics
