// Magnification of a uniformly bright disk by a point lens: the closed form of Witt & Mao (1994)
// in complete elliptic integrals of the first, second and third kind.
#pragma once

#include <span>
#include <vector>

#include "parallel/result_vector.hpp"

namespace mirvanta::models {

// u: lens to source centre, rho: source radius, both in Einstein radii. Never fails: NaN stands
// for a failed elliptic integral or NaN input. rho <= 0 gives the point-source magnification;
// finite u > 20 rho the expansions of models/far_field.hpp, which are never below 1; the lens
// within 0.04 rho of the limb the closed form of models/limb.hpp (models/disk_forms.hpp holds
// the rule that picks the form).
double witt_mao_magnification_scaled(double u, double rho);

// One magnification per separation in `l` (source radii); rho = rstar / re. Element i belongs to
// l[i]. Evaluated on the worker pool. The first takes `l` over and returns its storage, each
// separation replaced by its magnification; the second leaves `l` alone.
using Magnifications = parallel::ResultVector<double>;

std::vector<double> witt_mao_magnification(std::vector<double> l, double re, double rstar);
Magnifications witt_mao_magnification_of(std::span<const double> l, double re, double rstar);

// The batch above for every pair (re[j], rstar[k]), in the order j * rstar.size() + k: the pairs
// are mapped on the pool, and each pair's batch runs nested inside that map.
parallel::ResultVector<Magnifications> multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                                                              std::vector<double> rstar);

}  // namespace mirvanta::models
