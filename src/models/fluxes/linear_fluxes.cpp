#include "models/fluxes/linear_fluxes.hpp"

#include <cmath>
#include <limits>

#include "common/panic.hpp"

namespace mirvanta::models {
namespace {

using Values = std::span<const double>;
using Fit = Expected<LinearFluxes, FluxFault>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The smallest sigma, or the fault of the first that is not a finite number above 0.
Expected<double, FluxFault> smallest_sigma(Values sigma) {
    double least = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < sigma.size(); ++i) {
        if (!(sigma[i] > 0.0 && std::isfinite(sigma[i]))) return FluxFault{FluxFault::bad_sigma, i};
        if (sigma[i] < least) least = sigma[i];
    }
    return least;
}

bool all_finite(Values values) {
    for (const double value : values) {
        if (!std::isfinite(value)) return false;
    }
    return true;
}

// The weight of a point relative to the largest, (least / sigma)^2: 1 for the smallest sigma.
double relative_weight(double least, double sigma) {
    const double ratio = least / sigma;
    return ratio * ratio;
}

LinearFluxes not_a_number(bool blend) {
    const double fixed = blend ? kNaN : 0.0;  // fb and its row and column, fixed at 0 without a blend
    return LinearFluxes{kNaN, fixed, {{kNaN, fixed}, {fixed, fixed}}, kNaN};
}

// The blend's fit by centred sums. `least` is the smallest sigma: the covariance of the relative
// weights times least^2 is that of the weights 1 / sigma^2.
Fit fit_with_blend(Values a, Values flux, Values sigma, double least) {
    const std::size_t n = a.size();
    const double a0 = a[0], f0 = flux[0];
    double weight = 0.0, sum_a = 0.0, sum_f = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = relative_weight(least, sigma[i]);
        weight += w;
        sum_a += w * (a[i] - a0);
        sum_f += w * (flux[i] - f0);
    }
    const double shift_a = sum_a / weight, shift_f = sum_f / weight;  // the means, less a0 and f0
    double saa = 0.0, saf = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = relative_weight(least, sigma[i]);
        const double da = (a[i] - a0) - shift_a, df = (flux[i] - f0) - shift_f;
        saa += w * da * da;
        saf += w * da * df;
    }
    const double mean_a = a0 + shift_a, mean_f = f0 + shift_f;
    // The normal matrix [[sum w a^2, sum w a], [sum w a, W]] has the determinant W saa, and the
    // product of its diagonal W (saa + W mean_a^2). Written so that NaN (overflow) refuses too.
    if (!(saa > kMinLeverage * (saa + weight * mean_a * mean_a))) return FluxFault{FluxFault::no_leverage};
    const double fs = saf / saa;
    double chi2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double da = (a[i] - a0) - shift_a, df = (flux[i] - f0) - shift_f;
        const double r = (df - fs * da) / sigma[i];  // flux - fs a - fb, centred
        chi2 += r * r;
    }
    const double scale = least * least;
    const double ratio = mean_a / saa;
    const double covariance = -(scale * ratio);
    return LinearFluxes{fs, mean_f - fs * mean_a,
                        {{scale / saa, covariance}, {covariance, scale * (1.0 / weight + mean_a * ratio)}}, chi2};
}

Fit fit_without_blend(Values a, Values flux, Values sigma, double least) {
    const std::size_t n = a.size();
    double saa = 0.0, saf = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = relative_weight(least, sigma[i]);
        saa += w * a[i] * a[i];
        saf += w * a[i] * flux[i];
    }
    if (!(saa > 0.0)) return FluxFault{FluxFault::no_leverage};
    const double fs = saf / saa;
    double chi2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = (flux[i] - fs * a[i]) / sigma[i];
        chi2 += r * r;
    }
    return LinearFluxes{fs, 0.0, {{least * least / saa, 0.0}, {0.0, 0.0}}, chi2};
}

}  // namespace

Expected<LinearFluxes, FluxFault> fit_linear_fluxes(Values a, Values flux, Values sigma, bool blend) {
    if (flux.size() != a.size() || sigma.size() != a.size()) {
        throw Panic("fit_linear_fluxes: a, flux and sigma differ in length");
    }
    if (a.size() < (blend ? 2u : 1u)) return FluxFault{FluxFault::too_few_points};
    const Expected<double, FluxFault> least = smallest_sigma(sigma);
    if (!least) return least.error();
    if (!all_finite(a) || !all_finite(flux)) return not_a_number(blend);
    return blend ? fit_with_blend(a, flux, sigma, least.value()) : fit_without_blend(a, flux, sigma, least.value());
}

}  // namespace mirvanta::models
