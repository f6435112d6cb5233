// The uniform-disk and ring kernels against closed forms and limits derived by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "models/heyrovsky.hpp"
#include "models/witt_mao.hpp"

namespace mirvanta::models {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

double point_source(double u) { return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0)); }

// The exact magnification with the lens on the limb (u = rho), written out independently.
double limb_value(double rho) {
    const double t = rho * rho;
    return (2.0 / rho + (1.0 + 1.0 / t) * (std::asin((t - 1.0) / (t + 1.0)) + kPi / 2.0)) / kPi;
}

TEST(WittMao, ClosedForms) {
    // At u = 0 the disk is centred on the lens: sqrt(rho^2 + 4) / rho.
    for (double rho : {1.0, 0.1, 0.01, 3.0}) {
        EXPECT_NEAR(witt_mao_magnification_scaled(0.0, rho), std::sqrt(rho * rho + 4.0) / rho,
                    1e-14 * std::sqrt(rho * rho + 4.0) / rho)
            << rho;
    }
    EXPECT_NEAR(witt_mao_magnification_scaled(1.0, 1.0), 1.0 + 2.0 / kPi, 1e-15);
    for (double rho : {0.1, 2.0, 0.003}) EXPECT_NEAR(witt_mao_magnification_scaled(rho, rho), limb_value(rho), 1e-13 * limb_value(rho));
    EXPECT_EQ(witt_mao_magnification_scaled(1.0, 0.0), 3.0 / std::sqrt(5.0));
    EXPECT_EQ(witt_mao_magnification_scaled(1.0, -1.0), 3.0 / std::sqrt(5.0));
    EXPECT_EQ(witt_mao_magnification_scaled(0.0, 0.0), kInf);
    EXPECT_EQ(witt_mao_magnification_scaled(-0.0, 0.0), -kInf);
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(kNan, 0.5)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(0.5, kNan)));
}

TEST(WittMao, LimbBand) {
    // rho = 0.1: half-width 1e-4. Inside, exactly the limb value; just outside, the general form.
    const double limb = witt_mao_magnification_scaled(0.1, 0.1);
    for (double u : {0.1 - 0.99e-4, 0.1 + 0.5e-4, 0.1 + 0.99e-4}) EXPECT_EQ(witt_mao_magnification_scaled(u, 0.1), limb) << u;
    for (double u : {0.1 - 1.01e-4, 0.1 + 1.01e-4}) EXPECT_NE(witt_mao_magnification_scaled(u, 0.1), limb) << u;
    // rho <= 0.01: the half-width is 1e-5, not 0.001 rho.
    const double small = witt_mao_magnification_scaled(0.005, 0.005);
    EXPECT_EQ(witt_mao_magnification_scaled(0.005 + 0.9e-5, 0.005), small);
    EXPECT_NE(witt_mao_magnification_scaled(0.005 + 1.1e-5, 0.005), small);
}

TEST(WittMao, TendsToPointSource) {
    for (double rho : {0.1, 0.01}) {
        for (double u : {1.0, 3.0, 10.0}) {
            // The finite-source correction is of order (rho/u)^2 / 8 relative (Gould 1994).
            const double ps = point_source(u);
            EXPECT_NEAR(witt_mao_magnification_scaled(u, rho) / ps, 1.0, rho * rho / (u * u)) << u << ", " << rho;
        }
    }
}

TEST(WittMao, BatchIsTheKernelInSourceRadii) {
    const auto out = witt_mao_magnification({0.0, 10.0, -3.0}, 1.0, 0.1);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], witt_mao_magnification_scaled(0.0, 0.1));
    EXPECT_EQ(out[1], witt_mao_magnification_scaled(10.0 * 0.1, 0.1));
    // A negative separation is outside the closed form's domain: NaN.
    EXPECT_TRUE(std::isnan(out[2]));
    // rstar = 0: a point source at +-0 separations.
    const auto zero = witt_mao_magnification({1.0, -1.0, kInf, kNan}, 1.0, 0.0);
    EXPECT_EQ(zero[0], kInf);
    EXPECT_EQ(zero[1], -kInf);
    EXPECT_TRUE(std::isnan(zero[2]));
    EXPECT_TRUE(std::isnan(zero[3]));
    // re = 0: rho infinite, every value NaN.
    for (double v : witt_mao_magnification({0.0, 1.0}, 0.0, 1.0)) EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(witt_mao_magnification({}, 1.0, 0.1).empty());
}

double ring(double l, double r, double re, double rstar) {
    const auto result = heyrovsky_magnification(l, r, re, rstar);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().message);
    return result.value_or(kNan);
}

std::string ring_error(double l, double r, double re, double rstar) {
    const auto result = heyrovsky_magnification(l, r, re, rstar);
    return result ? "<value>" : result.error().message;
}

TEST(Heyrovsky, LensAtTheRingCentre) {
    // l = 0: every point of the ring is at r/q Einstein radii.
    for (double r : {1e-5, 0.3, 1.0}) {
        for (double q : {0.5, 10.0}) {
            const double u = r / q;
            EXPECT_NEAR(ring(0.0, r, q, 1.0) / point_source(u), 1.0, 1e-14) << r << ", " << q;
            EXPECT_NEAR(ring(r, 0.0, q, 1.0) / point_source(u), 1.0, 1e-14) << r << ", " << q;
        }
    }
}

TEST(Heyrovsky, SymmetricAwayFromTheRing) {
    for (auto [l, r] : {std::pair{0.3, 0.9}, std::pair{2.0, 0.5}, std::pair{1.0, 1.00002}}) {
        EXPECT_EQ(ring(l, r, 2.0, 1.0), ring(r, l, 2.0, 1.0)) << l << ", " << r;
    }
}

TEST(Heyrovsky, NearRingForm) {
    EXPECT_EQ(ring(0.7, 0.7, 1.0, 0.1), kInf);
    EXPECT_EQ(ring(0.0, 0.5e-5, 1.0, 1.0), kInf);
    EXPECT_TRUE(std::isnan(ring(0.0, 0.0, 1.0, 1.0)));
    // |r - l| = 1e-5 exactly takes the elliptic form (finite, the point source at r/q), 0.99e-5
    // the near-ring form (infinite with the lens at the centre).
    EXPECT_NEAR(ring(0.0, 1e-5, 1.0, 1.0) / point_source(1e-5), 1.0, 1e-14);
    EXPECT_EQ(ring(0.0, 0.99e-5, 1.0, 1.0), kInf);
    // NaN q with |f| < 1e-5: NaN, no error; with |f| >= 1e-5: the NaN error.
    EXPECT_TRUE(std::isnan(ring(1.0, 1.0, kNan, 1.0)));
    EXPECT_EQ(ring_error(1.0, 2.0, kNan, 1.0), "ellipk: Arguments cannot be NAN.");
}

TEST(Heyrovsky, ErrorsPassTheEllipticText) {
    EXPECT_EQ(ring_error(-1.0, 1.0, 1.0, 1.0), "ellipk: Arguments cannot be NAN.");
    EXPECT_EQ(ring_error(kNan, 1.0, 1.0, 1.0), "ellipk: Arguments cannot be NAN.");
    EXPECT_EQ(ring_error(1.0, 2.0, 1.0, 0.0), "ellipk: Arguments cannot be NAN.");
}

TEST(Heyrovsky, FarFromTheRingIsAPointSource) {
    for (double l : {50.0, 200.0}) {
        const double u = l / 2.0;
        EXPECT_NEAR(ring(l, 1.0, 2.0, 1.0) / point_source(u), 1.0, 1.0 / (l * l)) << l;
    }
}

}  // namespace
}  // namespace mirvanta::models
