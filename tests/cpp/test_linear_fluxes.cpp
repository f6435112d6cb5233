// The linear source and blend fluxes: small cases solved by hand, data far from zero where the
// uncentred normal equations lose every digit, the leverage criterion on both sides, and the
// refusals. The Python tests compare with numpy.linalg.lstsq and the scatter over noise draws.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/panic.hpp"
#include "models/fluxes/linear_fluxes.hpp"

namespace mirvanta::models {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Vector = std::vector<double>;

LinearFluxes fit(const Vector& a, const Vector& flux, const Vector& sigma, bool blend = true) {
    const auto result = fit_linear_fluxes(a, flux, sigma, blend);
    if (!result) throw Panic("no fit where one was expected");
    return result.value();
}

FluxFault fault(const Vector& a, const Vector& flux, const Vector& sigma, bool blend = true) {
    const auto result = fit_linear_fluxes(a, flux, sigma, blend);
    if (result) throw Panic("a fit where a refusal was expected");
    return result.error();
}

// A = (1, 2, 3), flux = (1, 3, 2), weights (1, 4, 1): weighted means 2 and 2.5, centred
// A (-1, 0, 1) and flux (-1.5, 0.5, -0.5), so S_aa = 2, S_af = 1, fs = 1/2, fb = 2.5 - 1 = 1.5;
// residuals (-1, 0.5, -1), chi2 = 1 + 4 / 4 + 1 = 3. The normal matrix [[26, 12], [12, 6]] has
// the determinant 12 and the inverse [[6, -12], [-12, 26]] / 12.
TEST(LinearFluxes, WeightedCaseByHand) {
    const LinearFluxes r = fit({1.0, 2.0, 3.0}, {1.0, 3.0, 2.0}, {1.0, 0.5, 1.0});
    EXPECT_NEAR(r.source, 0.5, 1e-15);
    EXPECT_NEAR(r.blend, 1.5, 1e-15);
    EXPECT_NEAR(r.chi2, 3.0, 1e-14);
    EXPECT_NEAR(r.covariance[0][0], 0.5, 1e-15);
    EXPECT_NEAR(r.covariance[0][1], -1.0, 1e-15);
    EXPECT_EQ(r.covariance[1][0], r.covariance[0][1]);
    EXPECT_NEAR(r.covariance[1][1], 13.0 / 6.0, 1e-15);
}

// Without a blend: fs = sum A flux / sum A^2 = 13 / 14, var = 1 / 14,
// chi2 = sum flux^2 - 13^2 / 14 = 27 / 14.
TEST(LinearFluxes, WithoutBlendByHand) {
    const LinearFluxes r = fit({1.0, 2.0, 3.0}, {1.0, 3.0, 2.0}, {1.0, 1.0, 1.0}, false);
    EXPECT_NEAR(r.source, 13.0 / 14.0, 1e-15);
    EXPECT_EQ(r.blend, 0.0);
    EXPECT_NEAR(r.covariance[0][0], 1.0 / 14.0, 1e-16);
    EXPECT_EQ(r.covariance[0][1], 0.0);
    EXPECT_EQ(r.covariance[1][0], 0.0);
    EXPECT_EQ(r.covariance[1][1], 0.0);
    EXPECT_NEAR(r.chi2, 27.0 / 14.0, 1e-14);
    // One point is enough: fs = flux / A, no residual.
    const LinearFluxes one = fit({4.0}, {10.0}, {2.0}, false);
    EXPECT_EQ(one.source, 2.5);
    EXPECT_EQ(one.chi2, 0.0);
    EXPECT_EQ(one.covariance[0][0], 0.25);  // sigma^2 / A^2
}

// flux = 3 A + 7 + e with A = offset + i and e = (1, -2, 0, 2, -1), which sums to 0 and is
// orthogonal to i: the exact fit is fs = 3, fb = 7, chi2 = 10, with covariance
// [[1/10, -mean/10], [-mean/10, 1/5 + mean^2/10]] (S_aa = 10, W = 5). At these offsets sum A^2
// exceeds 2^53 many times over: the uncentred normal equations keep no digit of fb.
TEST(LinearFluxes, DataFarFromZeroKeepTheirDigits) {
    for (const double offset : {1e8, 1e12}) {
        const Vector e{1.0, -2.0, 0.0, 2.0, -1.0};
        Vector a, flux;
        for (int i = 0; i < 5; ++i) {
            a.push_back(offset + i);
            flux.push_back(3.0 * (offset + i) + 7.0 + e[static_cast<std::size_t>(i)]);
        }
        const LinearFluxes r = fit(a, flux, Vector(5, 1.0));
        const double mean = offset + 2.0;
        EXPECT_EQ(r.source, 3.0) << offset;
        EXPECT_EQ(r.blend, 7.0) << offset;
        EXPECT_EQ(r.chi2, 10.0) << offset;
        EXPECT_DOUBLE_EQ(r.covariance[0][0], 0.1) << offset;
        EXPECT_DOUBLE_EQ(r.covariance[0][1], -mean / 10.0) << offset;
        EXPECT_DOUBLE_EQ(r.covariance[1][1], 0.2 + mean * mean / 10.0) << offset;
    }
}

// Sigmas whose 1 / sigma^2 overflows: the weights are relative to the largest, so the fit is that
// of sigma = 1 with fs, fb scaled as the fluxes and chi2 unchanged.
TEST(LinearFluxes, TinySigmasDoNotOverflowTheWeights) {
    const Vector a{1.0, 2.0, 3.0}, sigma{1.0, 0.5, 1.0};
    const double scale = 0x1p-520;  // 1 / scale^2 = 2^1040 overflows
    Vector flux{1.0, 3.0, 2.0}, tiny_sigma = sigma;
    for (double& value : flux) value *= scale;
    for (double& value : tiny_sigma) value *= scale;
    const LinearFluxes r = fit(a, flux, tiny_sigma);
    EXPECT_EQ(r.source, fit(a, {1.0, 3.0, 2.0}, sigma).source * scale);
    EXPECT_EQ(r.blend, fit(a, {1.0, 3.0, 2.0}, sigma).blend * scale);
    EXPECT_NEAR(r.chi2, 3.0, 1e-14);
    EXPECT_EQ(r.covariance[0][0], 0x1p-1041);  // 1/2 scale^2, a subnormal number: exact, a power of 2
}

// The criterion: the weighted spread of A about its mean against its root mean square, 1e-12.
TEST(LinearFluxes, LeverageCriterionOnBothSides) {
    const Vector flux{1.0, 2.0, 1.5, 2.5, 1.0, 2.0}, sigma(6, 0.1);
    const auto alternating = [](double base, double step) {
        Vector a;
        for (int i = 0; i < 6; ++i) a.push_back(base + (i % 2) * step);
        return a;
    };
    // Spread step / 2 about a mean near 1: 5e-11 of it (leverage 2.5e-21) is kept...
    EXPECT_TRUE(fit_linear_fluxes(alternating(1.0, 1e-10), flux, sigma, true).has_value());
    // ...5e-14 (leverage 2.5e-27) is refused, and so is a constant A, however many points.
    EXPECT_EQ(fault(alternating(1.0, 1e-13), flux, sigma).kind, FluxFault::no_leverage);
    EXPECT_EQ(fault(Vector(6, 0.7), flux, sigma).kind, FluxFault::no_leverage);
    Vector many_a(1001, 0.1 * 3.0), many_flux(1001), many_sigma(1001);
    for (std::size_t i = 0; i < many_a.size(); ++i) {
        many_flux[i] = 1.0 + 1e-3 * static_cast<double>(i % 7);
        many_sigma[i] = 0.01 * (1.0 + static_cast<double>(i % 5));
    }
    EXPECT_EQ(fault(many_a, many_flux, many_sigma).kind, FluxFault::no_leverage);
    // Without a blend a constant A is a fit (fs = weighted mean of flux / A); A = 0 is not.
    EXPECT_NEAR(fit(Vector(6, 2.0), flux, sigma, false).source, 10.0 / 6.0 / 2.0, 1e-15);
    EXPECT_EQ(fault(Vector(6, 0.0), flux, sigma, false).kind, FluxFault::no_leverage);
}

TEST(LinearFluxes, AllTheWeightOnOnePointIsNoLeverage) {
    const Vector a{1.0, 2.0, 3.0}, flux{1.0, 3.0, 2.0};
    EXPECT_EQ(fault(a, flux, {1.0, 1e-200, 1.0}).kind, FluxFault::no_leverage);  // weights 0, 1, 0
    EXPECT_EQ(fault(a, flux, {1.0, 1e-100, 1.0}).kind, FluxFault::no_leverage);  // leverage near 1e-200
    // Weights of 1e-10 elsewhere still determine fs from the other points' slope.
    const LinearFluxes r = fit(a, flux, {1.0, 1e-5, 1.0});
    EXPECT_NEAR(r.source, 0.5, 1e-9);
    EXPECT_NEAR(r.blend, 2.0, 1e-9);  // through (2, 3): 3 - 0.5 * 2
}

TEST(LinearFluxes, NotFiniteModelOrFluxGivesNaN) {
    const Vector sigma(3, 1.0);
    for (const double bad : {kNan, kInf, -kInf}) {
        for (const bool blend : {true, false}) {
            // A constant otherwise: no leverage, but the NaN comes first.
            for (const auto& [a, flux] : {std::pair{Vector{1.0, bad, 1.0}, Vector{1.0, 2.0, 3.0}},
                                         std::pair{Vector{1.0, 1.0, 1.0}, Vector{1.0, 2.0, bad}}}) {
                const LinearFluxes r = fit(a, flux, sigma, blend);
                EXPECT_TRUE(std::isnan(r.source) && std::isnan(r.chi2) && std::isnan(r.covariance[0][0]));
                if (blend) {
                    EXPECT_TRUE(std::isnan(r.blend) && std::isnan(r.covariance[1][1]));
                } else {
                    EXPECT_EQ(r.blend, 0.0);
                    EXPECT_EQ(r.covariance[0][1], 0.0);
                    EXPECT_EQ(r.covariance[1][1], 0.0);
                }
            }
        }
    }
}

TEST(LinearFluxes, Refusals) {
    EXPECT_EQ(fault({1.0}, {1.0}, {1.0}).kind, FluxFault::too_few_points);
    EXPECT_EQ(fault({}, {}, {}, false).kind, FluxFault::too_few_points);
    // The first sigma that is not a finite number above 0, even before a NaN flux.
    for (const double bad : {0.0, -1.0, kInf, kNan, -0.0}) {
        const FluxFault f = fault({1.0, 2.0, 3.0, 4.0}, {1.0, kNan, 2.0, 3.0}, {1.0, 1.0, bad, -1.0});
        EXPECT_EQ(f.kind, FluxFault::bad_sigma);
        EXPECT_EQ(f.point, 2u);
    }
    EXPECT_THROW(fit_linear_fluxes(Vector{1.0, 2.0}, Vector{1.0}, Vector{1.0, 1.0}, true), Panic);
}

}  // namespace
}  // namespace mirvanta::models
