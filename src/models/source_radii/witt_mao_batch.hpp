// The uniform disk over a batch of separations in source radii, and over every pair of Einstein
// and source radii: the kernel of models/kernel/witt_mao.hpp on the worker pool.
#pragma once

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

}  // namespace mirvanta::models
