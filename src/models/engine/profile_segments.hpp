// What the profile engine's quadratures share: how they take the bend where a disk's limb
// crosses the lens, and how finely they grade towards it (their target is their share of rtol,
// models/engine/tolerance_budget.hpp).
#pragma once

#include <cstddef>

namespace mirvanta::models::profile_detail {

// The disk's magnified flux bends as (x - x*) ln|x - x*| where its limb crosses the lens; a piece
// that ends there takes its variable as the bend plus a multiple of t^3, which makes that
// t^5 ln t and leaves the rules their fast convergence.
inline constexpr double kBendPower = 3.0;

// At most this many halvings on either side of the bend (a source of rho up to 2^kGrading / 2
// is graded all the way).
inline constexpr std::size_t kGrading = 16;

}  // namespace mirvanta::models::profile_detail
