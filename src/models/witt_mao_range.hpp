// The uniform-disk kernel over a range of separations, on the lanes the CPU has: what the batch
// and the grid hand their contiguous pieces to; and over a range of source radii at one
// separation, what the limb-darkened and flux-map quadratures hand their nodes to.
#pragma once

#include <span>

namespace mirvanta::models {

// out[i] = witt_mao_magnification_scaled(separations[i] * rho, rho) for every i, to the bit, on
// every path (the widest lanes the CPU has, chosen once per process; models/detail/kernel_paths.hpp
// names the others), whatever the order of the separations. `out` may be the separations' own
// storage.
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out);

// out[i] = witt_mao_magnification_scaled(u[i], rho) for every i: separations in Einstein radii,
// otherwise as above.
void witt_mao_magnification_at(std::span<const double> u, double rho, double* out);

// out[i] = witt_mao_magnification_scaled(u, radii[i]) for every i, to the bit, on every path.
// `out` may be the radii's own storage.
void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out);

}  // namespace mirvanta::models
