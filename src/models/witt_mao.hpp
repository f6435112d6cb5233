// Magnification of a uniformly bright disk by a point lens: the closed form of Witt & Mao (1994)
// in complete elliptic integrals of the first, second and third kind.
#pragma once

#include <span>
#include <vector>

#include "parallel/result_vector.hpp"

namespace mirvanta::models {

// u: lens to source centre, rho: source radius, both in Einstein radii. Never fails: NaN stands
// for a failed elliptic integral or NaN input. rho <= 0 gives the point-source magnification;
// finite u > 1000 rho the expansion of models/far_field.hpp, which is never below 1.
double witt_mao_magnification_scaled(double u, double rho);

// One magnification per separation in `l` (source radii); rho = rstar / re. Element i belongs to
// l[i]. Evaluated on the worker pool. Takes `l` over.
using Magnifications = parallel::ResultVector<double>;

Magnifications witt_mao_magnification(std::vector<double> l, double re, double rstar);
Magnifications witt_mao_magnification_of(std::span<const double> l, double re, double rstar);

// The batch above for every pair (re[j], rstar[k]), in the order j * rstar.size() + k: the pairs
// are mapped on the pool, and each pair's batch runs nested inside that map.
parallel::ResultVector<Magnifications> multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                                                              std::vector<double> rstar);

}  // namespace mirvanta::models
