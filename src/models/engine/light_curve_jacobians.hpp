// The Jacobians of point-lens light curves in the events' parameters, many events in one call:
// each event's magnifications and their derivatives from the profile engine's gradient
// (models/engine/profile_gradient.hpp), then the chain rule of the trajectory
// u(t) = sqrt(u0^2 + tau^2), tau = (t - t0) / tE:
//   du/dt0 = -tau / (tE u),  du/du0 = u0 / u,  du/dtE = -tau^2 / (tE u).
// At u = 0 (u0 = 0 at t = t0) dA/du is 0 by symmetry, and so is each column's limit.
#pragma once

#include <cstddef>

#include "models/engine/light_curves.hpp"
#include "models/engine/profile.hpp"

namespace mirvanta::models {

// For element i of the trajectories: value[i] = A; jacobian[i * columns + k] for the columns t0,
// u0, tE, rho and then the law's coefficients (columns = 4 + law_coefficient_count(law)). The
// events run one after another, each on the pool by its own maps; each event's values are those
// of the call with that event alone, to the bit.
ProfileReport light_curve_jacobians(const Trajectories& trajectories, const BrightnessLaw& law, double rtol,
                                    double* value, double* jacobian, std::size_t columns);

}  // namespace mirvanta::models
