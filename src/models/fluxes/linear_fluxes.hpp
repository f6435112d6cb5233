// The source and blend fluxes of one data set, solved linearly: the weighted least-squares fit of
// flux_i = fs * A_i + fb to the observed fluxes, with weights 1 / sigma_i^2, given the model's
// magnifications A_i. The event's nonlinear parameters make A; the fluxes, linear in the model,
// need no search.
//
// The sums are centred: the weighted means of A and of the flux first (of their differences from
// the first point, so that a constant A has a spread of exactly 0), then the centred second
// moments, each in the order of the points. The weights are taken relative to the largest, so that
// no sigma over- or underflows them; the covariance is scaled back to the sigmas given.
#pragma once

#include <cstddef>
#include <span>

#include "common/expected.hpp"

namespace mirvanta::models {

// The fit of one data set. covariance is the inverse of the weighted normal matrix (the formal
// covariance of (fs, fb) for the sigmas given, not rescaled by chi2), rows and columns in the order
// fs, fb. Without a blend, fb is 0 and so are its row and column.
struct LinearFluxes {
    double source;
    double blend;
    double covariance[2][2];
    double chi2;
};

// Why a data set has no fit. `point` is the index of the sigma at fault (bad_sigma only).
struct FluxFault {
    enum Kind { too_few_points, bad_sigma, no_leverage };
    Kind kind;
    std::size_t point = 0;
};

// With a blend, a data set gives no fit when the weighted spread of A about its mean,
// S = sum w_i (A_i - mean)^2, is at most kMinLeverage times sum w_i A_i^2: the determinant of the
// normal matrix over the product of its diagonal (a constant A, or all the weight on one point,
// gives S = 0; an A whose spread is below 1e-12 of its size is treated alike). Without a blend, when
// sum w_i A_i^2 is 0 (A is 0 wherever a point has weight).
inline constexpr double kMinLeverage = 1e-24;

// The fit of flux = fs * a + fb (fb = 0 when `blend` is false) over the points of a, flux and sigma,
// which have the same length. A sigma that is not a finite number above 0 is a bad_sigma fault;
// fewer than 2 points (1 without a blend) too_few_points. A NaN or infinite value in a or flux
// gives NaN for fs, fb, the covariance and chi2 (fb and its row and column stay 0 without a
// blend), without the leverage check.
Expected<LinearFluxes, FluxFault> fit_linear_fluxes(std::span<const double> a, std::span<const double> flux,
                                                    std::span<const double> sigma, bool blend);

}  // namespace mirvanta::models
