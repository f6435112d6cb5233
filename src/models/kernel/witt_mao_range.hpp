// The uniform-disk kernel over a range of separations, on the lanes the CPU has: what the batch
// and the grid hand their contiguous pieces to; and over a range of source radii at one
// separation, what the limb-darkened and flux-map quadratures hand their nodes to.
#pragma once

#include <span>

#include "models/kernel/disk_derivatives.hpp"

namespace mirvanta::models {

// The lanes a range runs on: the scalar kernel one separation at a time; two SSE2 lanes (every
// x86-64 CPU); four AVX2 lanes (where the CPU has AVX2). Every path gives the same bits; the
// ranges without a path take the widest the CPU has, chosen once per process.
enum class KernelPath { scalar, sse2, avx2 };

bool kernel_path_available(KernelPath path);
KernelPath default_kernel_path();

// out[i] = witt_mao_magnification_scaled(separations[i] * rho, rho) for every i, to the bit, on
// every path (the default path above), whatever the order of the separations. `out` may be the separations' own
// storage.
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out);

// out[i] = witt_mao_magnification_scaled(u[i], rho) for every i: separations in Einstein radii,
// otherwise as above.
void witt_mao_magnification_at(std::span<const double> u, double rho, double* out);

// out[i] = witt_mao_magnification_scaled(u, radii[i]) for every i, to the bit, on every path.
// `out` may be the radii's own storage.
void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out);

// The same on a given path, which must be available: tests compare every path with the scalar
// kernel, and the quadratures over radii pass on the path their own tests ask for.
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out, KernelPath path);
void witt_mao_magnification_at(std::span<const double> u, double rho, double* out, KernelPath path);
void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out, KernelPath path);
void witt_mao_derivatives_at(std::span<const double> u, double rho, DiskDerivatives* out, KernelPath path);
void witt_mao_derivatives_radii(double u, std::span<const double> radii, DiskDerivatives* out, KernelPath path);

}  // namespace mirvanta::models
