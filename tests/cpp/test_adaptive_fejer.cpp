// The adaptive Fejer rule of the profile engine (numerics/adaptive_fejer.hpp): exactness, the
// error estimate against known integrals, refinement where an integrand is singular at an end,
// and what it reports when its limits stop it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "numerics/adaptive_fejer.hpp"

namespace {

using mirvanta::numerics::adaptive_fejer;
using mirvanta::numerics::FejerLimits;
using mirvanta::numerics::FejerPiece;
using mirvanta::numerics::FejerResult;

// An integrand of one variable as the rule's batched form, on one segment [0, 1].
FejerResult integrate(const std::function<double(double)>& f, double target, FejerLimits limits = {}) {
    const FejerPiece whole{0, 0.0, 1.0};
    const auto fill = [&](const unsigned*, const double* t, std::size_t n, double* out) {
        for (std::size_t i = 0; i < n; ++i) out[i] = f(t[i]);
    };
    return adaptive_fejer(std::span<const FejerPiece>(&whole, 1), fill, target, limits);
}

// The order-8 rule integrates polynomials of degree 7 exactly: with their changes exactly 0 after
// the first level, the rule stops there, at 7 points.
TEST(AdaptiveFejer, PolynomialsAtTheFirstLevel) {
    const auto degree_seven = [](double t) { return ((t - 0.3) * (t + 0.2)) * ((t * t) * (t * t - 1.0)); };
    const FejerResult r = integrate(degree_seven, 1e-15);
    // int_0^1 (t^2 - 0.1 t - 0.06)(t^4 - t^2) dt, by hand
    const double exact = (1.0 / 7 - 1.0 / 5) - 0.1 * (1.0 / 6 - 1.0 / 4) - 0.06 * (1.0 / 5 - 1.0 / 3);
    EXPECT_NEAR(r.integral, exact, 1e-16);
    EXPECT_TRUE(r.converged);
    EXPECT_LE(r.evaluations, 15u);
}

// Analytic integrands and end singularities (left as they are, without the substitutions the
// profile engine makes): the result is within the target, and the estimate at least the true
// error, to the 10 % by which it may fall short where the rules converge algebraically (there it
// is asymptotically exact, r c / (1 - r)).
TEST(AdaptiveFejer, EstimateBoundsTheTrueError) {
    const struct {
        std::function<double(double)> f;
        double exact;
    } cases[] = {
        {[](double t) { return std::exp(3.0 * t); }, (std::exp(3.0) - 1.0) / 3.0},
        {[](double t) { return 1.0 / (1.0 + 25.0 * (2.0 * t - 1.0) * (2.0 * t - 1.0)); }, std::atan(5.0) / 5.0},
        {[](double t) { return std::sqrt(t); }, 2.0 / 3.0},
        {[](double t) { return t * std::log(t); }, -0.25},
        {[](double t) { return std::pow(1.0 - t, -0.3); }, 1.0 / 0.7},
    };
    for (const double target : {1e-6, 1e-10}) {
        for (const auto& c : cases) {
            const FejerResult r = integrate(c.f, target);
            const double error = std::fabs(r.integral - c.exact);
            EXPECT_TRUE(r.converged) << c.exact;
            EXPECT_LE(error, target) << c.exact << " target " << target;
            EXPECT_LE(error, std::max(1.1 * r.estimate, 1e-15)) << c.exact << " target " << target;
        }
    }
}

// Pieces of several segments add up, and the batches hand each point its own segment.
TEST(AdaptiveFejer, SegmentsAddUp) {
    const FejerPiece pieces[] = {{0, 0.0, 1.0}, {1, 0.0, 0.5}, {1, 0.5, 1.0}};
    const auto fill = [](const unsigned* segment, const double* t, std::size_t n, double* out) {
        for (std::size_t i = 0; i < n; ++i) out[i] = segment[i] == 0 ? std::cos(t[i]) : 2.0 * t[i];
    };
    const FejerResult r = adaptive_fejer(std::span<const FejerPiece>(pieces, 3), fill, 1e-13);
    EXPECT_NEAR(r.integral, std::sin(1.0) + 1.0, 1e-13);
}

// Stopped by its limits, the rule says so and returns its best estimate; values that are not
// finite count as zero.
TEST(AdaptiveFejer, LimitsAndNonFiniteValues) {
    const FejerResult r = integrate([](double t) { return std::pow(t, -0.9); }, 1e-14, FejerLimits{4, 100});
    EXPECT_FALSE(r.converged);
    EXPECT_GT(r.estimate, 1e-14);
    EXPECT_GT(r.integral, 0.0);
    const FejerResult nan = integrate([](double t) { return t < 0.5 ? std::nan("") : 1.0; }, 1e-12);
    EXPECT_NEAR(nan.integral, 0.5, 0.05);  // the NaN half counts as zero (the jump at 1/2 is not resolved exactly)
    EXPECT_TRUE(std::isfinite(nan.integral));
}

}  // namespace
