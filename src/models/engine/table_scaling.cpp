#include "models/engine/table_scaling.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace mirvanta::models {
namespace {

// The entries that carry the brightness: up to the first radius beyond which it is 0 everywhere
// (the entry after the last bright one, where the brightness falls to 0 along a segment or a
// step).
std::size_t support_entries(std::span<const double> brightness) {
    std::size_t last = brightness.size();
    while (last > 0 && !(brightness[last - 1] > 0.0)) --last;
    return std::min(last + 1, brightness.size());  // last >= 1: law_fault() refuses a dark table
}

}  // namespace

ScaledTable scale_table(std::span<const double> radii, std::span<const double> brightness) {
    ScaledTable out;
    std::size_t n = std::min(radii.size(), brightness.size());
    int radius_exponent = 0;
    if (n >= 2) {
        const std::size_t entries = support_entries(brightness.first(n));
        if (radii[entries - 1] < kSmallestSupport && radii[entries - 1] > 0.0) {
            n = entries;
            std::frexp(radii[n - 1], &radius_exponent);  // r_last = f 2^e, f in [1/2, 1)
            radius_exponent = -radius_exponent;
        }
    }
    out.radii.assign(radii.begin(), radii.begin() + static_cast<std::ptrdiff_t>(n));
    out.brightness.assign(brightness.begin(), brightness.begin() + static_cast<std::ptrdiff_t>(n));
    for (double& r : out.radii) r = std::ldexp(r, radius_exponent);
    out.source_radius_factor = std::ldexp(1.0, -radius_exponent);
    const double largest = n > 0 ? *std::max_element(out.brightness.begin(), out.brightness.end()) : 0.0;
    if (largest > 0.0 && std::isfinite(largest)) {
        int exponent = 0;
        std::frexp(largest, &exponent);  // largest = f 2^e, f in [1/2, 1): times 2^(1 - e) is in [1, 2)
        for (double& b : out.brightness) b = std::ldexp(b, 1 - exponent);
    }
    return out;
}

}  // namespace mirvanta::models
