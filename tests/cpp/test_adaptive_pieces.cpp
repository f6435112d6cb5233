// The profile engine's adaptive quadrature over pieces (numerics/adaptive_pieces.hpp) with both
// of its rules: exactness, the error estimate against known integrals, refinement where an
// integrand is singular at an end, components with targets of their own, the Lobatto rule's
// integral to any point of a piece, and what the driver reports when its limits stop it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "numerics/adaptive_pieces.hpp"

namespace {

using mirvanta::numerics::adaptive_pieces;
using mirvanta::numerics::Components;
using mirvanta::numerics::FejerRule;
using mirvanta::numerics::LobattoRule;
using mirvanta::numerics::Piece;
using mirvanta::numerics::PiecesResult;
using mirvanta::numerics::PiecesSpace;

using Function = std::function<double(double)>;

// An integrand of one variable as the driver's batched form, on one segment [0, 1].
template <class Rule>
PiecesResult<1> integrate(const Function& f, double target, PiecesSpace<Rule, 1>& space) {
    const Piece whole{0, 0.0, 1.0};
    const auto fill = [&](const unsigned*, const double* t, std::size_t n, Components<1>* out) {
        for (std::size_t i = 0; i < n; ++i) out[i][0] = f(t[i]);
    };
    return adaptive_pieces<Rule>(std::span<const Piece>(&whole, 1), fill, {target}, space);
}

template <class Rule>
PiecesResult<1> integrate(const Function& f, double target) {
    static PiecesSpace<Rule, 1> space;  // not on the test's stack
    return integrate<Rule>(f, target, space);
}

// The order-8 rule integrates polynomials of degree 7 exactly, but the order-4 rule before it
// does not: the first level's change is not 0, and the rule goes on to order 16, whose change from
// order 8 is 0 (to rounding). It stops there: 7 points, then 8 more.
TEST(AdaptivePieces, PolynomialsAtTheSecondLevel) {
    const auto degree_seven = [](double t) { return ((t - 0.3) * (t + 0.2)) * ((t * t) * (t * t - 1.0)); };
    const PiecesResult<1> r = integrate<FejerRule>(degree_seven, 1e-15);
    // int_0^1 (t^2 - 0.1 t - 0.06)(t^4 - t^2) dt, by hand
    const double exact = (1.0 / 7 - 1.0 / 5) - 0.1 * (1.0 / 6 - 1.0 / 4) - 0.06 * (1.0 / 5 - 1.0 / 3);
    EXPECT_NEAR(r.integral[0], exact, 1e-16);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.evaluations, 15u);
}

struct KnownIntegral {
    Function f;
    double exact;
};

// Analytic integrands and end singularities (left as they are, without the substitutions the
// profile engine makes).
const KnownIntegral kCases[] = {
    {[](double t) { return std::exp(3.0 * t); }, (std::exp(3.0) - 1.0) / 3.0},
    {[](double t) { return 1.0 / (1.0 + 25.0 * (2.0 * t - 1.0) * (2.0 * t - 1.0)); }, std::atan(5.0) / 5.0},
    {[](double t) { return std::sqrt(t); }, 2.0 / 3.0},
    {[](double t) { return t * std::log(t); }, -0.25},
    {[](double t) { return std::pow(1.0 - t, -0.3); }, 1.0 / 0.7},
};

// Fejer: the result is within the target, and the estimate at least the true error, to the 10 %
// by which it may fall short where the rules converge algebraically (there it is asymptotically
// exact, r c / (1 - r)).
TEST(AdaptivePieces, FejerEstimateBoundsTheTrueError) {
    for (const double target : {1e-6, 1e-10}) {
        for (const auto& c : kCases) {
            const PiecesResult<1> r = integrate<FejerRule>(c.f, target);
            const double error = std::fabs(r.integral[0] - c.exact);
            EXPECT_TRUE(r.converged) << c.exact;
            EXPECT_LE(error, target) << c.exact << " target " << target;
            EXPECT_LE(error, std::max(1.1 * r.estimate[0], 1e-15)) << c.exact << " target " << target;
        }
    }
}

// Lobatto: the integral from 0 to any t, read from the pieces the driver leaves, against the
// antiderivative, within the target where the integrand is finite at the ends (the interpolant
// takes the ends' values).
TEST(AdaptivePieces, LobattoIntegralToAnyPoint) {
    const struct {
        Function f, antiderivative;
    } cases[] = {
        {[](double t) { return std::exp(3.0 * t); }, [](double t) { return (std::exp(3.0 * t) - 1.0) / 3.0; }},
        {[](double t) { return 1.0 / (1.0 + 25.0 * (2.0 * t - 1.0) * (2.0 * t - 1.0)); },
         [](double t) { return (std::atan(5.0 * (2.0 * t - 1.0)) + std::atan(5.0)) / 10.0; }},
        {[](double t) { return std::sqrt(t); }, [](double t) { return 2.0 / 3.0 * t * std::sqrt(t); }},
    };
    static PiecesSpace<LobattoRule, 1> space;
    for (const double target : {1e-6, 1e-10}) {
        for (const auto& c : cases) {
            const PiecesResult<1> r = integrate<LobattoRule>(c.f, target, space);
            EXPECT_TRUE(r.converged);
            for (const double t : {0.0, 0.013, 0.25, 0.5, 0.77, 1.0}) {
                double sum = 0.0;  // the pieces before t, then t's own up to t
                for (std::size_t i = 0; i < space.count; ++i) {
                    const auto& w = space.work[i];
                    if (w.piece.hi <= t) sum += LobattoRule::integral_to(w, w.piece.hi, 0);
                    if (w.piece.lo < t && t < w.piece.hi) sum += LobattoRule::integral_to(w, t, 0);
                }
                EXPECT_NEAR(sum, c.antiderivative(t), target) << "t " << t << " target " << target;
            }
        }
    }
}

// Components go through the same points, each against its own target: a component with a target
// it has reached already is refined along with one that has not, and both end within theirs.
TEST(AdaptivePieces, ComponentsWithTargetsOfTheirOwn) {
    const Piece whole{0, 0.0, 1.0};
    const auto fill = [](const unsigned*, const double* t, std::size_t n, Components<2>* out) {
        for (std::size_t i = 0; i < n; ++i) out[i] = {2.0 * t[i], std::pow(1.0 - t[i], -0.3)};
    };
    static PiecesSpace<FejerRule, 2> space;
    const PiecesResult<2> loose = adaptive_pieces<FejerRule>(std::span<const Piece>(&whole, 1), fill, {1e-14, 1e-3}, space);
    const PiecesResult<2> tight = adaptive_pieces<FejerRule>(std::span<const Piece>(&whole, 1), fill, {1e-14, 1e-11}, space);
    EXPECT_TRUE(loose.converged && tight.converged);
    EXPECT_NEAR(tight.integral[0], 1.0, 1e-14);
    EXPECT_NEAR(tight.integral[1], 1.0 / 0.7, 1e-11);
    EXPECT_GT(std::fabs(loose.integral[1] - 1.0 / 0.7), 1e-11);  // the loose target stops earlier
    EXPECT_GT(tight.evaluations, loose.evaluations);
}

// Pieces of several segments add up, and the batches hand each point its own segment.
TEST(AdaptivePieces, SegmentsAddUp) {
    const Piece pieces[] = {{0, 0.0, 1.0}, {1, 0.0, 0.5}, {1, 0.5, 1.0}};
    const auto fill = [](const unsigned* segment, const double* t, std::size_t n, Components<1>* out) {
        for (std::size_t i = 0; i < n; ++i) out[i][0] = segment[i] == 0 ? std::cos(t[i]) : 2.0 * t[i];
    };
    static PiecesSpace<FejerRule, 1> space;
    const PiecesResult<1> r = adaptive_pieces<FejerRule>(std::span<const Piece>(pieces, 3), fill, {1e-13}, space);
    EXPECT_NEAR(r.integral[0], std::sin(1.0) + 1.0, 1e-13);
}

// Stopped by its limits (an integrand it cannot resolve: t^-0.9 at a target of 1e-300), the
// driver says so and returns its best estimate; values that are not finite count as zero.
TEST(AdaptivePieces, LimitsAndNonFiniteValues) {
    const PiecesResult<1> r = integrate<FejerRule>([](double t) { return std::pow(t, -0.9); }, 1e-300);
    EXPECT_FALSE(r.converged);
    EXPECT_GT(r.estimate[0], 1e-300);
    EXPECT_GT(r.integral[0], 0.0);
    EXPECT_LE(r.evaluations, mirvanta::numerics::kMostEvaluations + mirvanta::numerics::kPointBatch);
    const PiecesResult<1> nan = integrate<FejerRule>([](double t) { return t < 0.5 ? std::nan("") : 1.0; }, 1e-12);
    EXPECT_NEAR(nan.integral[0], 0.5, 0.05);  // the NaN half counts as zero (the jump at 1/2 is not resolved exactly)
    EXPECT_TRUE(std::isfinite(nan.integral[0]));
}

}  // namespace
