// A tabulated profile brought, exactly, to the range in which the profile engine computes it.
//
// - The brightness is multiplied by the power of two that puts its largest value in [1, 2): the
//   magnification is a ratio of integrals linear in the brightness, and the engine's every
//   operation on the brightness (products, sums, its quotient by the flux) scales exactly with a
//   power of two, so a table that neither overflows nor underflows keeps its bits, while a
//   subnormal brightness (5e-324 everywhere was 7.3 % low) or one near the largest double (its
//   flux overflowed) is computed as its well-scaled equal.
// - When the brightness vanishes beyond a radius fraction r_last below kSmallestSupport, the
//   source is a disk of radius r_last rho whose profile is the table's radii over r_last: the
//   table's entries beyond r_last (all dark) are dropped, its radii multiplied by the power of two
//   2^k that puts r_last in [1/2, 1), and the source radius must then be multiplied by
//   `source_radius_factor` = 2^-k. Both products are exact (barring a source radius that falls
//   below the smallest normal double), and the magnification is the same integral.
//
// Where kSmallestSupport comes from: the engine integrates a table over [0, 1] in pieces graded
// toward the lens. Against the rescaled table (the same integral), a table whose brightness ends
// at 2^-j gives the same value to 2.3e-11 at rtol 1e-10 up to j = 17, but from j = 10 it no longer
// reaches rtol within its evaluations (a RuntimeWarning); from j = 18 its error passes 1e-10 (1e-6
// at j = 24, 3e-3 at j = 30; 2^-531, about 1e-160, was 6.8e-6 off, and below about 1e-154 the flux
// underflows to 0 and every value was NaN). Tables that end at 1/256 of the source radius or
// beyond, every ordinary table among them, are left as they are, with their bits.
#pragma once

#include <span>
#include <vector>

namespace mirvanta::models {

inline constexpr double kSmallestSupport = 0x1p-8;

struct ScaledTable {
    std::vector<double> radii, brightness;
    double source_radius_factor = 1.0;  // a power of two; 1 when the radii are as given
};

// `radii` and `brightness` as law_fault() accepts them (ascending radii in [0, 1], finite
// brightness at or above 0 with some flux), scaled as above.
ScaledTable scale_table(std::span<const double> radii, std::span<const double> brightness);

}  // namespace mirvanta::models
