// The magnification of a radially symmetric source far from the lens: the uniform disk's far-field
// series (models/kernel/far_field.hpp) with each term k multiplied by the profile's moment factor
// m_k = (k + 1) <x^(2k)>, to as many terms as the tolerance asks (tools/derive_profile_series.py).
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

// The most terms the series uses.
inline constexpr std::size_t kMostSeriesTerms = kMostMoments - 1;

// Per call: the moment factors, the share of rtol the truncation may take, and the widest
// (rho/u)^2 that the series serves (with all its terms). Each separation takes as few terms as
// keep its truncation within the share.
struct SeriesPlan {
    std::array<double, kMostMoments + 1> factor{};
    double budget = 0.0;
    double widest = 0.0;
};

SeriesPlan plan_series(const PreparedLaw& law, double rtol);

// Whether the series serves (u, rho): (rho/u)^2 within the plan's widest limit. u > 0, rho > 0.
inline bool series_reaches(double u, double rho, const SeriesPlan& plan) {
    const double x = rho / u;
    return x * x <= plan.widest;
}

// The series at (u, rho) when (rho/u)^2 is within the plan's widest limit: true and the value in
// *out; false otherwise. u > 0 (infinite allowed), rho > 0. The result is at least 1.
bool profile_series(double u, double rho, const SeriesPlan& plan, double* out);

// The series and its derivatives in u and rho, where it reaches (series_reaches), and
// by_moment[k] = dA/dm_k for k = 1..terms (the terms the series took; the rest are not set), each
// term without its moment factor, from which a caller makes the derivative in any coefficient the
// moments depend on (sum over k of by_moment[k] dm_k/dc). The
// terms' own derivatives are exact; the truncation's share of rtol holds for them as for the value,
// relative to the larger of the derivative and A/rho. The value is the same bits as
// profile_series's.
struct SeriesGradient {
    double value, du, drho;
    std::array<double, kMostMoments + 1> by_moment;  // set for k = 1..terms only
    std::size_t terms;
};
SeriesGradient profile_series_gradient(double u, double rho, const SeriesPlan& plan);

}  // namespace mirvanta::models
