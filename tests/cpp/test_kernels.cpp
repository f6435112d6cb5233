// The uniform-disk and ring kernels against closed forms and limits derived by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "models/kernel/heyrovsky.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/source_radii/witt_mao_batch.hpp"

namespace mirvanta::models {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

double point_source(double u) { return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0)); }

// The exact magnification with the lens on the limb (u = rho), written out independently, in
// long double: asin((t - 1)/(t + 1)) + pi/2 cancels for small rho, losing about eps_64 / rho^2.
double limb_value(double rho) {
    const long double t = static_cast<long double>(rho) * rho;
    const long double pi = 3.141592653589793238462643383279503L;
    return static_cast<double>((2.0L / rho + (1.0L + 1.0L / t) * (std::asin((t - 1.0L) / (t + 1.0L)) + pi / 2.0L)) / pi);
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
    EXPECT_EQ(witt_mao_magnification_scaled(0.0, 0.0), kInf);
    EXPECT_EQ(witt_mao_magnification_scaled(-0.0, 0.0), kInf);  // the lens on a point source, not minus it
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(-1.0, 0.0)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(kNan, 0.5)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(0.5, kNan)));
}

TEST(WittMao, ThroughTheLimb) {
    // Next to the limb, with d = u - rho,
    //   A = A_limb + (2 d / (pi rho^2)) (ln(|d| sqrt(1 + rho^2) / (8 rho)) + 1) + O(d^2 ln|d|),
    // the remainder below 3e-18 relative for |d| <= 1e-9 rho: the slope, logarithm included, on
    // both sides of the limb.
    for (double rho : {0.01, 0.1, 1.0, 30.0}) {
        for (double x : {1e-9, -1e-9, 1e-12, -1e-12, 3e-15, -3e-15}) {
            const double u = rho * (1.0 + x);
            const double d = u - rho;
            const double slope = (2.0 * d / (kPi * rho * rho)) * (std::log(std::fabs(d) * std::sqrt(1.0 + rho * rho) / (8.0 * rho)) + 1.0);
            EXPECT_NEAR(witt_mao_magnification_scaled(u, rho) / (limb_value(rho) + slope), 1.0, 2e-15) << rho << ", " << x;
        }
    }
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
    // rstar = 0: a point source at +-0 separations, on the lens.
    const auto zero = witt_mao_magnification({1.0, -1.0, kInf, kNan}, 1.0, 0.0);
    EXPECT_EQ(zero[0], kInf);
    EXPECT_EQ(zero[1], kInf);
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

TEST(Heyrovsky, NearTheRing) {
    // On the ring the mean diverges; l = r = 0 has no value.
    EXPECT_EQ(ring(0.7, 0.7, 1.0, 0.1), kInf);
    EXPECT_TRUE(std::isnan(ring(0.0, 0.0, 1.0, 1.0)));
    // A lens at the centre of a ring, however small, sees the point source at r/q.
    for (double r : {1e-9, 0.5e-5, 0.99e-5}) EXPECT_NEAR(ring(0.0, r, 1.0, 1.0) / point_source(r), 1.0, 1e-14) << r;
    // A NaN q next to the ring gives NaN without an error, farther away the NaN error.
    EXPECT_TRUE(std::isnan(ring(1.0, 1.0, kNan, 1.0)));
    EXPECT_TRUE(std::isnan(ring(1.0, 1.001, kNan, 1.0)));
    EXPECT_EQ(ring_error(1.0, 2.0, kNan, 1.0), "ellipk: Arguments cannot be NAN.");
}

TEST(Heyrovsky, ErrorsPassTheEllipticText) {
    EXPECT_EQ(ring_error(-1.0, 1.0, 1.0, 1.0), "ellipk: Arguments cannot be NAN.");
    EXPECT_EQ(ring_error(kNan, 1.0, 1.0, 1.0), "ellipk: Arguments cannot be NAN.");
    EXPECT_EQ(ring_error(1.0, 2.0, 1.0, 0.0), "ellipk: Arguments cannot be NAN.");
}

TEST(Heyrovsky, ANegativeEinsteinRadiusHasNoValue) {
    // A negative source or Einstein radius: NaN, never an error, on the ring or off it.
    for (const auto [re, rstar] : {std::pair{-1.0, 0.1}, std::pair{1.0, -0.1}}) {
        for (const double r : {0.5, 0.7, 2.0}) EXPECT_TRUE(std::isnan(ring(0.7, r, re, rstar))) << re << ", " << r;
    }
    EXPECT_EQ(ring(0.3, 0.9, -2.0, -1.0), ring(0.3, 0.9, 2.0, 1.0));  // only the ratio enters
}

TEST(Heyrovsky, EveryScaleGivesTheBitsOfOne) {
    // Scaling l, r and re / rstar by a power of two leaves every ratio, and so the mean over the
    // ring, as it is: the bits at 2^+-1000 are those at 1, where nothing over- or underflows.
    for (const auto [l, r] : {std::pair{1.0, 2.0}, std::pair{0.5, 0.0}, std::pair{1.0, 1.001}, std::pair{0.9, 0.1}}) {
        for (const double q : {0.01, 1.0, 100.0}) {
            const double at_one = ring(l, r, q, 1.0);
            for (const int k : {-1000, -700, -400, 400, 700, 1000}) {
                EXPECT_EQ(ring(std::ldexp(l, k), std::ldexp(r, k), std::ldexp(q, k), 1.0), at_one) << l << ", " << r
                                                                                                  << ", " << q << ", " << k;
            }
        }
    }
    // Ring and Einstein radius 2^300 times apart: the limits, the point source at r/q for a ring
    // around the lens.
    for (const double r : {0x1p-500, 0x1p-300}) EXPECT_EQ(ring(0.0, r, 1.0, 1.0), 1.0 / r) << r;
    for (const double r : {0x1p300, 0x1p500}) EXPECT_EQ(ring(0.0, r, 1.0, 1.0), 1.0) << r;
}

TEST(Heyrovsky, FarFromTheRingIsAPointSource) {
    for (double l : {50.0, 200.0}) {
        const double u = l / 2.0;
        EXPECT_NEAR(ring(l, 1.0, 2.0, 1.0) / point_source(u), 1.0, 1.0 / (l * l)) << l;
    }
}

}  // namespace
}  // namespace mirvanta::models
