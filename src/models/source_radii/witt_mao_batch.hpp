// The uniform disk over a batch of separations in source radii, and over every pair of Einstein
// and source radii, and the point source over a batch in Einstein radii: the kernel of
// models/kernel/witt_mao.hpp on the worker pool.
#pragma once

#include <span>
#include <vector>

#include "models/source_radii/magnification_grid.hpp"

namespace mirvanta::models {

// One magnification per separation in `l` (source radii); rho = rstar / re. Element i belongs to
// l[i]. Evaluated on the worker pool. Takes `l` over and returns its storage, each separation
// replaced by its magnification.
std::vector<double> witt_mao_magnification(std::vector<double> l, double re, double rstar);

// The batch above for every pair (re[j], rstar[k]), as row j * rstar.size() + k: the pairs are
// mapped on the pool, and each pair's batch runs nested inside that map.
MagnificationGrid multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                                               std::vector<double> rstar);

// The point-source magnification witt_mao_magnification_scaled(u[i], 0) of each separation u[i]
// (Einstein radii) into out[i] (out may be u's own storage), on the worker pool: a long array is
// shared with the workers and stopped by the caller hook (common/interruption.hpp) as every map
// is.
void point_source_magnification(std::span<const double> u, double* out);

}  // namespace mirvanta::models
