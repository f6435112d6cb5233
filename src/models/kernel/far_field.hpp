// The uniform-disk magnification far from the source, where the closed form's three terms (each
// of order 1/rho^2) cancel to a result near the point-source value and lose about
// 2 log10(u/rho) digits: the mean of the point-source magnification over the disk, expanded in
// (rho/u)^2 about the point-source value.
#pragma once

namespace mirvanta::models {

// The short expansion is used for u > kFarFieldRatio * rho (the product rounded); u = 1000 rho
// itself and everything closer keep the longer one or the closed form.
inline constexpr double kFarFieldRatio = 1000.0;

// The long expansion is used for kMidFieldRatio * rho < u <= kFarFieldRatio * rho. The closed
// form's error there, about 2.6 eps (u/rho)^2 relative, passes 1e-12 near u = 40 rho; for sources
// of rho >~ 50 it exceeds the excess A - 1 ~ 2/u^4 from u = 23 rho on, and the result falls
// below 1.
inline constexpr double kMidFieldRatio = 20.0;

// Accuracy of both, relative to the closed form in mpmath (60 digits plus those it cancels):
// - through the kernel: its table (models/kernel/witt_mao.hpp), "mid-field series" and "far-field
//   series";
// - by tools/derive_far_field.py --check, which evaluates each form as the C++ does: far field
//   3.01 ulps (4.0e-16) over 310 points, rho in [1e-10, 100] and u/rho in (1000, 1e12]; mid field
//   2.79 ulps (3.4e-16) over 410 points, u/rho in (20, 1000]; never below 1. The first term left
//   out is below 2.4e-20 of the result in the far field and 1.8e-18 in the mid field.

// u, rho in Einstein radii, with 0 < 1000 rho < u and u finite. The result is at least 1.
double far_field_disk_magnification(double u, double rho);

// u, rho in Einstein radii, with 0 < 20 rho < u and u finite (used up to u = 1000 rho). The
// result is at least 1.
double mid_field_disk_magnification(double u, double rho);

}  // namespace mirvanta::models
