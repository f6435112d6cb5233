#include "numerics/interpolation.hpp"

#include <algorithm>

namespace mirvanta::numerics {

double linear_interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n == 0) return 0.0;
    if (n == 1) return ys[0];

    // How many abscissas lie strictly below x, by bisection over the whole of xs.
    std::size_t base = 0;
    std::size_t size = xs.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (xs[mid] < x) base = mid;
        size -= half;
    }
    if (xs[base] < x) ++base;
    const std::size_t i = std::min(base == 0 ? 0 : base - 1, n - 2);

    const double slope = (ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i]);
    const double intercept = ys[i] - xs[i] * slope;
    if (x == xs[0]) return ys[0];
    if (x < xs[0]) return 0.0;
    if (x == xs[n - 1]) return ys[n - 1];
    if (x > xs[n - 1]) return 0.0;
    return intercept + x * slope;
}

}  // namespace mirvanta::numerics
