// The uniform-disk magnification far from the source, where the closed form's three terms (each
// of order 1/rho^2) cancel to a result near the point-source value and lose about
// 2 log10(u/rho) digits: the mean of the point-source magnification over the disk, expanded in
// (rho/u)^2 about the point-source value.
#pragma once

namespace mirvanta::models {

// The expansion is used for u > kFarFieldRatio * rho (the product rounded); u = 1000 rho itself
// and everything closer keep the closed form.
inline constexpr double kFarFieldRatio = 1000.0;

// u, rho in Einstein radii, with 0 < 1000 rho < u and u finite. The result is at least 1.
double far_field_disk_magnification(double u, double rho);

}  // namespace mirvanta::models
