// What the profile engine's quadratures share: how they take the bend where a disk's limb
// crosses the lens, how finely they grade towards it, and what absolute error they aim at.
#pragma once

#include <cstddef>

namespace mirvanta::models::profile_detail {

// The disk's magnified flux bends as (x - x*) ln|x - x*| where its limb crosses the lens; a piece
// that ends there takes its variable as the bend plus a multiple of t^3, which makes that
// t^5 ln t and leaves the rules their fast convergence.
inline constexpr double kBendPower = 3.0;

// The target of the absolute error: this fraction of rtol times the uniform disk's magnified
// flux, of the order of the result (the estimates are conservative: the true errors measured
// are far below them).
inline constexpr double kTargetShare = 0.5;

// At most this many halvings on either side of the bend (a source of rho up to 2^kGrading / 2
// is graded all the way).
inline constexpr std::size_t kGrading = 16;

}  // namespace mirvanta::models::profile_detail
