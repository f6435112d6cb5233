// The knobs that tests and benchmarks turn, out of the models' public headers: which lanes
// evaluate the uniform-disk kernel's ranges, and how the quadratures over the source's radius
// evaluate the kernel at their nodes. The functions without them choose the widest lanes the CPU
// has and a level of nodes at a time; every choice gives the same bits.
#pragma once

#include <span>

#include "models/flux_map.hpp"

namespace mirvanta::models {

// The paths: the scalar kernel one separation at a time; two SSE2 lanes (every x86-64 CPU); four
// AVX2 lanes (where the CPU has AVX2). The default is the widest available, chosen once per
// process.
enum class KernelPath { scalar, sse2, avx2 };

bool kernel_path_available(KernelPath path);
KernelPath default_kernel_path();

// The ranges of models/witt_mao_range.hpp on a given path, which must be available.
void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out, KernelPath path);
void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out, KernelPath path);
void witt_mao_magnification_at(std::span<const double> u, double rho, double* out, KernelPath path);

// How a quadrature over the source's radius evaluates the kernel at its nodes: all the nodes of a
// level at once, through the range over radii on a path's lanes, or one node at a time through
// the one-separation kernel, as its integrand is written. Both give the same bits; the second is
// the reference the tests compare the first with.
enum class NodeEvaluation { by_level, one_at_a_time };

// integrated_witt_mao_magnification_at (models/integrated.hpp) and
// integrated_flux_map_witt_mao_magnification_at (models/flux_map.hpp) with the nodes evaluated as
// `nodes` says, on the lanes of `path` (which must be available): the same bits whatever the two
// say.
double integrated_witt_mao_magnification_at(double l, double rho, NodeEvaluation nodes, KernelPath path);
double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMap& map, NodeEvaluation nodes,
                                                     KernelPath path);

}  // namespace mirvanta::models
