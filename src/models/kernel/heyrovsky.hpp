// Magnification of a thin ring on the source by a point lens (after Heyrovsky 2003): the mean of
// the point-source magnification over the ring.
#pragma once

#include "models/deferred_error.hpp"

namespace mirvanta::models {

// l: lens to ring centre, r: ring radius, both in source radii; re and rstar in one common unit.
// Fails only when K or Pi fails, with that integral's message. On the ring (l = r) the mean
// diverges: +inf, or NaN for l = r = 0 or an Einstein radius re / rstar that is not positive. A
// negative re / rstar (a negative source or Einstein radius) gives NaN, never an error. Only the
// ratios of l, r and re / rstar enter: rings far smaller or larger than 2^200 Einstein radii, or
// smaller or larger than 2^-200 or 2^200 source radii, are computed at a scale where no product
// over- or underflows (a ring more than 2^200 times the Einstein radius across gives exactly 1, one
// more than 2^200 times smaller the limit (4 q / (l + r)) K(n) / (2 pi), q = re / rstar).
//
// Accuracy, relative, against the mean over the ring by mpmath quadrature in angle (an
// independent route; tests/cpp/data/ring_near.txt, tools/gen_disk_reference.py: r in [1e-7, 2],
// rstar / re in [1e-7, 10], |r - l| / (l + r) from 1e-15 to 0.3), as
// build/cpp-tests/tests/cpp/mirvanta_tests prints it (RingZones.NextToTheRingAgainstMpmath):
// within the near-ring zone |r - l| < 0.02 (l + r), where K and Pi come from their complements,
// 5.4e-16 over 151 cases; next to it 8.0e-14 over 16 (the error grows as 0.8 eps ((l + r) / f)^2,
// f = r - l, to about 4.5e-13 at the zone's edge). Farther from the ring, 6.7e-16 at the six
// such points of tests/python/test_heyrovsky.py::test_elliptic_form_is_the_ring_mean (measured
// there against its ring mean at 40 digits; the test asserts 1e-12).
ModelResult<double> heyrovsky_magnification(double l, double r, double re, double rstar);

}  // namespace mirvanta::models
