// The uniform-disk kernel over a range of separations, on the lanes the CPU has: what the batch
// and the grid hand their contiguous pieces to.
#pragma once

#include <span>

namespace mirvanta::models {

// out[i] = witt_mao_magnification_scaled(separations[i] * rho, rho) for every i, to the bit, on
// every path. `out` may be the separations' own storage. The path is chosen once per process.
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out);

// The paths: the scalar kernel one separation at a time; two SSE2 lanes (every x86-64 CPU); four
// AVX2 lanes (where the CPU has AVX2). The default is the widest available.
enum class KernelPath { scalar, sse2, avx2 };

bool kernel_path_available(KernelPath path);
KernelPath default_kernel_path();

// The range on a given path, which must be available (for tests and benchmarks).
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out, KernelPath path);

}  // namespace mirvanta::models
