#include "models/engine/profile_series.hpp"

#include <array>
#include <cmath>
#include <span>

#include "models/engine/profile_series_terms.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "numerics/dual.hpp"

namespace mirvanta::models {

using numerics::sqrt_of;

// Term k is at most c_k m_k x^(2k) relative to the point source (c_k: kProfileSeriesBounds, about
// 1/(pi k (k + 1))), and the bounds shrink by at least x^2 from term to term (c_(k+1)/c_k is about
// k/(k + 2), m_(k+1)/m_k at most (k + 2)/(k + 1) since <x^(2k)> does not grow with k), so the
// tail after K terms is at most c_(K+1) m_(K+1) X^(K+1) / (1 - X), X = x^2, which must stay within
// the series' share of rtol (models/engine/tolerance_budget.hpp). The widest X that all the terms serve solves
// c_(K+1) m_(K+1) X^(K+1) = budget (1 - X) for K = kMostSeriesTerms (a fixed point, reached in a
// few steps since X^(K+1) varies far faster than 1 - X), at most kClosest.
namespace {

// (rho/u)^2 at the closest: the series serves u >= 1.41 rho at most. The tail bound binds from
// rtol 1e-10 down (X = 0.48 to 0.50 at 1e-10, 0.36 to 0.38 at 1e-13, over the laws measured);
// above it the bound would let the series closer (X = 0.58 to 0.60 at 1e-8, 0.69 to 0.72 at
// 1e-6), where each separation takes all 23 terms. A cap, not a limit of the series: for a light
// curve the band it leaves goes to the interpolant at about the same cost (2,000-epoch quadratic
// curves, rho 0.1 and 1, rtol 1e-6 and 1e-8: the instructions a call within 3 % of these with
// the cap at 0.6 or 0.75, either way); a single separation in that band takes the quadrature,
// about 7 times the series' cost (4.0 to 4.4 us against 0.54 to 0.68 us, quadratic law, rho 0.1,
// rtol 1e-6 and 1e-8).
constexpr double kClosest = 0.5;

// The iteration's steps: from X = 0 they alternate about the root, and the sixth (below it) is
// within 9e-7 of it at rtol 1e-6 and 5e-9 at 1e-10, relatively.
constexpr int kFixedPointSteps = 6;

// The widest X served, as a fraction of the root: the reach stays inside it whatever the rounding
// of pow and of the bound (a few ulps), the tail bound there 2.4 % within the budget
// (0.999^24), for 0.05 % of the reach in u.
constexpr double kReachMargin = 0.999;

// The bound of term K + 1 (kProfileSeriesBounds[k - 1] is term k's), relative to the point source
// at x = 1.
double tail_bound(const SeriesPlan& plan, std::size_t terms) {
    return tables::kProfileSeriesBounds[terms] * std::fabs(plan.factor[terms + 1]);
}

}  // namespace

SeriesPlan plan_series(const PreparedLaw& law, double rtol) {
    SeriesPlan plan;
    plan.factor = law.moment_factor;
    plan.budget = rtol * budget::kSeries;
    const double bound = tail_bound(plan, kMostSeriesTerms);
    double x2 = kClosest;
    if (bound > 0.0) {
        x2 = 0.0;
        for (int i = 0; i < kFixedPointSteps; ++i) {
            x2 = std::pow(plan.budget * (1.0 - x2) / bound, 1.0 / static_cast<double>(kMostSeriesTerms + 1));
            if (x2 > kClosest) x2 = kClosest;
        }
    }
    plan.widest = x2 * kReachMargin;
    return plan;
}

namespace {

// The fewest terms whose tail bound is within the budget at x2 = (rho/u)^2: X^(K+1) built up
// term by term.
std::size_t terms_for(double x2, const SeriesPlan& plan) {
    std::size_t terms = 1;
    const double allowed = plan.budget * (1.0 - x2);
    for (double power = x2 * x2; terms < kMostSeriesTerms && tail_bound(plan, terms) * power > allowed; ++terms) {
        power = power * x2;
    }
    return terms;
}

// The series' sum of `terms` terms, for a double or for a number that carries its derivatives
// (numerics/dual.hpp). profile_series_gradient repeats these operations in this order for its
// value, so that both give the same bits.
template <class T, class Factor>
T series_value(const T& u, const T& rho, const Factor& factor, std::size_t terms) {
    const T x = rho / u;
    const T x2 = x * x;
    const T s = u * u;
    const T q = s + 4.0;
    const T w = u * sqrt_of(q);
    const T b = 1.0 / q;
    const T a = 1.0 - 4.0 * b;
    const T f = 4.0 / (w * q);
    T series = 0.0;
    for (std::size_t k = terms; k-- > 0;) {
        const std::span<const double> c = tables::kProfileSeriesTerms[k];
        T term = c.back();
        T power = 1.0;
        for (std::size_t i = c.size() - 1; i-- > 0;) {
            power = power * b;
            term = term * a + c[i] * power;
        }
        series = x2 * (factor(k + 1) * term + series);
    }
    const T point_source_excess = 4.0 / (w * ((s + 2.0) + w));
    return 1.0 + (point_source_excess + f * series);
}

}  // namespace

bool profile_series(double u, double rho, const SeriesPlan& plan, double* out) {
    const double x = rho / u;
    const double x2 = x * x;
    if (!(x2 <= plan.widest)) return false;
    const auto factor = [&](std::size_t k) { return plan.factor[k]; };
    *out = series_value(u, rho, factor, terms_for(x2, plan));
    return true;
}

namespace {

// The terms' tables, and the slopes of the terms along b with a = 1 - 4b: for Q_k of degree n =
// 2k - 1, dQ_k/db = -4 dQ/da + dQ/db, a form of degree n - 1 whose coefficient of
// a^i b^(n-1-i) is (n - i) c_i - 4 (i + 1) c_(i+1). Made once, on first use.
constexpr std::size_t kSeriesTables = tables::kProfileSeriesTerms.size();
using SlopeTables = std::array<std::array<double, 2 * kSeriesTables>, kSeriesTables>;

const SlopeTables& slope_tables() {
    static const SlopeTables slopes = [] {
        SlopeTables d{};
        for (std::size_t k = 0; k < kSeriesTables; ++k) {
            const std::span<const double> c = tables::kProfileSeriesTerms[k];
            const std::size_t n = c.size() - 1;
            for (std::size_t i = 0; i < n; ++i) {
                d[k][i] = static_cast<double>(n - i) * c[i] - 4.0 * (static_cast<double>(i + 1) * c[i + 1]);
            }
        }
        return d;
    }();
    return slopes;
}

}  // namespace

SeriesGradient profile_series_gradient(double u, double rho, const SeriesPlan& plan) {
    // The value as profile_series computes it (the same operations in the same order, so the same
    // bits), each term Q_k(a, b) evaluated once and with it its derivative along b = 1/q,
    // a = 1 - 4b. With S = sum_k x^(2k) m_k Q_k, A = 1 + P(u) + F S, P = A_point - 1,
    // F = 4 / (u q^(3/2)) and by_moment[k] = F x^(2k) Q_k:
    //   dA/drho = (2/rho) sum_k k m_k by_moment[k]                          (x^2 = rho^2/u^2),
    //   dA/du   = P'(u) - sum_k m_k by_moment[k] ((2k + 1)/u + 3u/q) + F b'(u) sum_k x^(2k) m_k dQ_k/db,
    // b'(u) = -2u/q^2, P'(u) = -8 / (u^2 q^(3/2)): the series differentiated term by term, as
    // exact as its terms.
    const double x = rho / u;
    const double x2 = x * x;
    const std::size_t terms = terms_for(x2, plan);
    const double s = u * u;
    const double q = s + 4.0;
    const double root = std::sqrt(q);
    const double w = u * root;
    const double b = 1.0 / q;
    const double a = 1.0 - 4.0 * b;
    const double f = 4.0 / (w * q);
    // The powers of b once (the value's running product, so the same bits), each term and its
    // slope by Horner's rule in a over them.
    const SlopeTables& slopes = slope_tables();
    double power_of_b[2 * kSeriesTables];
    power_of_b[0] = 1.0;
    for (std::size_t j = 1; j < 2 * terms; ++j) power_of_b[j] = power_of_b[j - 1] * b;
    double term[kSeriesTables], slope[kSeriesTables];
    double series = 0.0;
    for (std::size_t k = terms; k-- > 0;) {
        const std::span<const double> c = tables::kProfileSeriesTerms[k];
        const std::size_t n = c.size() - 1;
        double t = c.back();
        for (std::size_t i = n; i-- > 0;) t = t * a + c[i] * power_of_b[n - i];
        const double* d = slopes[k].data();
        double dt = d[n - 1];
        for (std::size_t i = n - 1; i-- > 0;) dt = dt * a + d[i] * power_of_b[n - 1 - i];
        term[k] = t;
        slope[k] = dt;
        series = x2 * (plan.factor[k + 1] * t + series);
    }
    const double point_source_excess = 4.0 / (w * ((s + 2.0) + w));
    // by_moment beyond the terms is left unset: zeroing it cost as much as a few terms.
    SeriesGradient out;
    out.value = 1.0 + (point_source_excess + f * series);
    out.terms = terms;
    double power = 1.0, by_k = 0.0, by_u = 0.0, along_b = 0.0;
    for (std::size_t k = 0; k < terms; ++k) {
        power = power * x2;
        const double m = plan.factor[k + 1];
        const double by_moment = f * (power * term[k]);
        out.by_moment[k + 1] = by_moment;
        by_k = by_k + static_cast<double>(k + 1) * (m * by_moment);
        by_u = by_u + m * by_moment;
        along_b = along_b + m * (power * slope[k]);
    }
    const double point_source_slope = 0.0 - 8.0 / (s * (q * root));
    out.drho = (2.0 / rho) * by_k;
    out.du = point_source_slope - (((2.0 * by_k + by_u) / u + (3.0 * u * b) * by_u) +
                                   (f * (2.0 * u * (b * b))) * along_b);
    return out;
}

}  // namespace mirvanta::models
