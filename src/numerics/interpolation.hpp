// Piecewise-linear interpolation of a table, and the central-difference derivative.
#pragma once

#include <cmath>
#include <span>

namespace mirvanta::numerics {

// The double nearest the cube root of 2^-52: the default relative step of the derivative.
inline constexpr double CBRT_EPS = 6.0554544523933395e-06;

// The table (xs ascending, ys) interpolated linearly at x: ys[0] at xs[0], ys[n-1] at xs[n-1],
// 0 outside [xs[0], xs[n-1]]; ys[0] everywhere for one point, 0 for none. Only the first
// min(len xs, len ys) points take part. An interior abscissa takes its value from the segment on
// its left, so a repeated abscissa (a step) takes the left value.
double linear_interpolate(std::span<const double> xs, std::span<const double> ys, double x);

// (f(x + h) - f(x - h)) / (2 h) with h = (|x| + 1) step.
template <class F>
double central_difference_derivative(const F& f, double x, double step = CBRT_EPS) {
    const double h = (std::fabs(x) + 1.0) * step;
    const double forward = f(x + h);
    const double backward = f(x - h);
    return (forward - backward) / (h + h);
}

}  // namespace mirvanta::numerics
