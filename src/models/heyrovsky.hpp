// Magnification of a thin ring on the source by a point lens (after Heyrovsky 2003): the mean of
// the point-source magnification over the ring.
#pragma once

#include "models/deferred_error.hpp"

namespace mirvanta::models {

// l: lens to ring centre, r: ring radius, both in source radii; re and rstar in one common unit.
// Fails only when K or Pi fails, with that integral's message.
ModelResult<double> heyrovsky_magnification(double l, double r, double re, double rstar);

}  // namespace mirvanta::models
