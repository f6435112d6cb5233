// The uniform-disk kernel over a range of separations, on the lanes the CPU has: what the batch
// and the grid hand their contiguous pieces to; and over a range of source radii at one
// separation, what the limb-darkened and flux-map quadratures hand their nodes to.
#pragma once

#include <span>

namespace mirvanta::models {

// out[i] = witt_mao_magnification_scaled(separations[i] * rho, rho) for every i, to the bit, on
// every path. `out` may be the separations' own storage. The path is chosen once per process.
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out);

// out[i] = witt_mao_magnification_scaled(u, radii[i]) for every i, to the bit, on every path.
// `out` may be the radii's own storage.
void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out);

// The paths: the scalar kernel one separation at a time; two SSE2 lanes (every x86-64 CPU); four
// AVX2 lanes (where the CPU has AVX2). The default is the widest available.
enum class KernelPath { scalar, sse2, avx2 };

bool kernel_path_available(KernelPath path);
KernelPath default_kernel_path();

// How a quadrature over the source's radius evaluates the kernel at its nodes: all the nodes of a
// level at once, through the range over radii on a path's lanes, or one node at a time through
// the one-separation kernel, as its integrand is written. Both give the same bits; the second is
// the reference the tests compare the first with.
enum class NodeEvaluation { by_level, one_at_a_time };

// The ranges on a given path, which must be available (for tests and benchmarks).
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out, KernelPath path);
void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out, KernelPath path);

}  // namespace mirvanta::models
