// Tanh-sinh quadrature: evaluation counts, exact integrals, dropped non-finite values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <limits>
#include <vector>

#include "numerics/quadrature.hpp"

namespace mirvanta::numerics {
namespace {

constexpr double kPiValue = 3.141592653589793;

TEST(Quadrature, ConstantUsesEveryLevel) {
    const auto result = double_exponential_integrate([](double) { return 1.0; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(result.evaluations, 385u);
    // The nodes stop at t = 3: the missing tail of the rule is about 3.3e-14.
    EXPECT_NEAR(result.integral, 1.0 - 3.3e-14, 0.3e-14);
    EXPECT_LT(result.integral, 1.0);
}

TEST(Quadrature, LinearGivesPi) {
    const auto result = double_exponential_integrate([](double x) { return 2.0 * kPiValue * x; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(result.evaluations, 385u);
    EXPECT_NEAR(result.integral / kPiValue, 1.0, 5e-14);
}

TEST(Quadrature, ZeroOrNaNEverywhereStopsAfterLevelTwo) {
    for (double value : {0.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const auto result = double_exponential_integrate([value](double) { return value; }, 0.0, 1.0, 1e-16);
        EXPECT_EQ(result.evaluations, 25u);
        EXPECT_EQ(result.integral, 0.0);
        EXPECT_EQ(result.error_estimate, 0.0);
    }
}

TEST(Quadrature, EvaluationCountsFollowTheLevels) {
    // The first stop test is after level 2, so counts are 25, 49, 97, 193 or 385, never 7 or 13.
    const std::vector<unsigned> possible{25, 49, 97, 193, 385};
    const auto check = [&](auto f, double a, double b, double target) {
        const auto result = double_exponential_integrate(f, a, b, target);
        EXPECT_NE(std::find(possible.begin(), possible.end(), result.evaluations), possible.end())
            << result.evaluations;
        return result;
    };
    // A loose target lets smooth integrands stop early.
    const auto early = check([](double x) { return std::exp(x); }, 0.0, 1.0, 1e-6);
    EXPECT_LT(early.evaluations, 385u);
    EXPECT_NEAR(early.integral, std::exp(1.0) - 1.0, 1e-6);
}

TEST(Quadrature, CallsTheIntegrandAtTheDocumentedPoints) {
    std::vector<double> points;
    double_exponential_integrate([&](double x) { points.push_back(x); return 0.0; }, 2.0, 6.0, 1e-16);
    ASSERT_EQ(points.size(), 25u);
    EXPECT_EQ(points[0], 4.0);                             // the midpoint first
    EXPECT_EQ(points[1], 4.0 + 2.0 * 0.9513679640727469);  // then m + h x, m - h x, node by node
    EXPECT_EQ(points[2], 4.0 - 2.0 * 0.9513679640727469);
}

struct SmoothCase {
    const char* name;
    double (*f)(double);
    double a, b, exact, tolerance;
};

TEST(Quadrature, SmoothFunctionsAgainstTheirExactIntegrals) {
    const SmoothCase cases[] = {
        {"x^5", [](double x) { return x * x * x * x * x; }, 0.0, 1.0, 1.0 / 6.0, 1e-13},
        {"sqrt(1-x^2)", [](double x) { return std::sqrt(1.0 - x * x); }, 0.0, 1.0, kPiValue / 4.0, 1e-13},
        {"1/sqrt(x)", [](double x) { return 1.0 / std::sqrt(x); }, 0.0, 1.0, 2.0, 1e-6},
        {"log(x)", [](double x) { return std::log(x); }, 0.0, 1.0, -1.0, 1e-10},
        {"cos", [](double x) { return std::cos(x); }, 0.0, kPiValue / 2.0, 1.0, 1e-13},
        {"1/(1+x^2)", [](double x) { return 1.0 / (1.0 + x * x); }, -1.0, 1.0, kPiValue / 2.0, 1e-13},
    };
    for (const SmoothCase& c : cases) {
        const auto result = double_exponential_integrate(c.f, c.a, c.b, 1e-16);
        EXPECT_NEAR(result.integral, c.exact, c.tolerance) << c.name;
        EXPECT_TRUE(std::isfinite(result.error_estimate)) << c.name;
    }
}

TEST(Quadrature, NonFiniteValuesCountAsZero) {
    // A pole at an interior node is dropped; the rest still integrates.
    const double pole = 0.5 + 0.5 * 0.6742714922484359;  // m + h x for the level-1 node t = 1/2
    const auto with_pole = double_exponential_integrate(
        [&](double x) { return x == pole ? std::numeric_limits<double>::infinity() : 1.0; }, 0.0, 1.0, 1e-16);
    const auto without = double_exponential_integrate([](double) { return 1.0; }, 0.0, 1.0, 1e-16);
    EXPECT_TRUE(std::isfinite(with_pole.integral));
    // The dropped value had weight h w / 2^5: a level-1 node, halved by the five levels after it.
    EXPECT_NEAR(without.integral - with_pole.integral, 0.5 * 0.4829882897061506 / 32.0, 1e-15);
}

TEST(Quadrature, PiecesResolveABend) {
    // (x - b) ln|x - b|, which bends like a uniform disk whose limb crosses the lens; its integral
    // over [0, 1] is, by hand, [(x - b)^2 (2 ln|x - b| - 1) / 4] from 0 to 1.
    const double b = 0.3;
    const auto f = [b](double x) { return x == b ? 0.0 : (x - b) * std::log(std::fabs(x - b)); };
    const auto primitive = [b](double x) { return (x - b) * (x - b) * (2.0 * std::log(std::fabs(x - b)) - 1.0) / 4.0; };
    const double exact = primitive(1.0) - primitive(0.0);
    const double whole = double_exponential_integrate(f, 0.0, 1.0, 1e-16).integral;
    const double split = integrate_in_pieces(f, 0.0, 1.0, std::vector<double>{b}, 1e-16);
    EXPECT_GT(std::fabs(whole - exact), 1e-6);
    EXPECT_NEAR(split, exact, 3e-15);
    EXPECT_EQ(split, double_exponential_integrate(f, 0.0, b, 1e-16).integral +
                         double_exponential_integrate(f, b, 1.0, 1e-16).integral);
    // Without points it is the rule over the whole interval, to the bit.
    EXPECT_EQ(integrate_in_pieces(f, 0.0, 1.0, {}, 1e-16), whole);
}

TEST(Quadrature, RelativeTargetStopsWhereTheIntegralIsThatGood) {
    // The absolute target 1e-16 runs every level on an integral of order 1, whose sums round at
    // about 1e-16 of it; a relative one stops once the integral is as good as asked, whatever its
    // size, and on the same levels for any power of two times the integrand.
    for (const SmoothCase& c : {SmoothCase{"exp", [](double x) { return std::exp(x); }, 0.0, 1.0, std::exp(1.0) - 1.0, 0.0},
                                SmoothCase{"x (1 + x)", [](double x) { return x * (1.0 + x); }, 0.3, 0.35,
                                           (0.35 * 0.35 - 0.09) / 2.0 + (0.35 * 0.35 * 0.35 - 0.027) / 3.0, 0.0}}) {
        const auto absolute = double_exponential_integrate(c.f, c.a, c.b, 1e-16);
        const auto relative = double_exponential_integrate(c.f, c.a, c.b, RelativeTarget{1e-12});
        EXPECT_EQ(absolute.evaluations, 385u) << c.name;
        EXPECT_LT(relative.evaluations, 100u) << c.name;
        // Within the rule's own limit (its nodes stop at t = 3, leaving out about 3e-14 of a constant).
        EXPECT_NEAR(relative.integral / c.exact, 1.0, 5e-14) << c.name;
        for (const double scale : {0x1p-600, 0x1p600}) {
            const auto scaled = double_exponential_integrate([&](double x) { return scale * c.f(x); }, c.a, c.b,
                                                             RelativeTarget{1e-12});
            EXPECT_EQ(scaled.evaluations, relative.evaluations) << c.name;
            EXPECT_EQ(scaled.integral, scale * relative.integral) << c.name;
        }
    }
}

// The batched form against the one-at-a-time form of the same integrand: the same points in the
// same order (the midpoint alone, then a level's points at once), the same result to the bit,
// through early stops, dropped values and pieces.
struct BatchCase {
    const char* name;
    double (*f)(double);
    double a, b, target;
};

class QuadratureBatched : public ::testing::TestWithParam<BatchCase> {};

TEST_P(QuadratureBatched, SamePointsAndBitsAsOneAtATime) {
    const BatchCase c = GetParam();
    std::vector<double> scalar_points, batched_points;
    std::vector<std::size_t> batch_sizes;
    const auto one = [&](double x) {
        scalar_points.push_back(x);
        return c.f(x);
    };
    const BatchedIntegrand batched{[&](std::span<const double> x, double* out) {
        batch_sizes.push_back(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            batched_points.push_back(x[i]);
            out[i] = c.f(x[i]);
        }
    }};
    const auto expected = double_exponential_integrate(one, c.a, c.b, c.target);
    const auto result = double_exponential_integrate(batched, c.a, c.b, c.target);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(result.integral), std::bit_cast<std::uint64_t>(expected.integral));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(result.error_estimate), std::bit_cast<std::uint64_t>(expected.error_estimate));
    EXPECT_EQ(result.evaluations, expected.evaluations);
    EXPECT_EQ(batched_points, scalar_points);
    // The midpoint, then one batch per level run: 6, 6, 12, 24, 48, 96, 192 points.
    ASSERT_FALSE(batch_sizes.empty());
    EXPECT_EQ(batch_sizes[0], 1u);
    for (std::size_t k = 1; k < batch_sizes.size(); ++k) EXPECT_EQ(batch_sizes[k], k <= 2 ? 6u : 6u << (k - 2));
    // In pieces, each piece likewise.
    const std::vector<double> points{c.a + (c.b - c.a) * 0.3, c.a + (c.b - c.a) * 0.7};
    EXPECT_EQ(std::bit_cast<std::uint64_t>(integrate_in_pieces(batched, c.a, c.b, points, c.target)),
              std::bit_cast<std::uint64_t>(integrate_in_pieces(one, c.a, c.b, points, c.target)));
}

INSTANTIATE_TEST_SUITE_P(
    Integrands, QuadratureBatched,
    ::testing::Values(
        BatchCase{"exp_stops_early", [](double x) { return std::exp(x); }, 0.0, 1.0, 1e-6},
        BatchCase{"constant_all_levels", [](double) { return 1.0; }, 0.0, 1.0, 1e-16},
        BatchCase{"nan_everywhere", [](double) { return std::numeric_limits<double>::quiet_NaN(); }, 0.0, 1.0, 1e-16},
        // Infinite and NaN values at some points (the poles of 1/sin and the log of negatives).
        BatchCase{"poles_and_nan", [](double x) { return 1.0 / std::sin(40.0 * x) + std::log(x - 0.2); }, 0.0, 1.0,
                  1e-16},
        BatchCase{"log_end_singularity", [](double x) { return std::log(x); }, 0.0, 1.0, 1e-16},
        BatchCase{"bend_off_centre", [](double x) { return (x - 0.3) * std::log(std::fabs(x - 0.3)); }, -2.0, 5.0,
                  1e-10}),
    [](const ::testing::TestParamInfo<BatchCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mirvanta::numerics
