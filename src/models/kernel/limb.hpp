// The uniform-disk magnification with the lens on and next to the limb of the source, where the
// characteristic n = 4 u rho / (u + rho)^2 of the closed form's Pi(n, m) tends to 1.
#pragma once

namespace mirvanta::models {

// The exact magnification with the lens on the limb (u = rho):
// (2/rho + (1 + 1/rho^2) 2 atan(rho)) / pi. 2 atan(rho) is asin((t - 1)/(t + 1)) + pi/2 with
// t = rho^2, without that form's cancellation for small rho; 1 where rounding leaves it below 1
// (large rho). rho in [1e-100, 2^27]. Accuracy: the kernel's table (models/kernel/witt_mao.hpp), "on
// the limb".
double limb_disk_magnification(double rho);

// The closed form of Witt & Mao with Pi, K and E computed from the complements
// 1 - n = ((u - rho)/(u + rho))^2 and 1 - m = (1 - n) ((u + rho)^2 + 4) / ((u - rho)^2 + 4),
// which carry their full relative precision as u approaches rho; the value on the limb itself
// for u = rho. rho in [1e-100, 2^27], u > 0. Accuracy, in the limb zone |u - rho| < 0.04 rho: the
// kernel's table (models/kernel/witt_mao.hpp), "limb zone".
double limb_zone_disk_magnification(double u, double rho);

}  // namespace mirvanta::models
