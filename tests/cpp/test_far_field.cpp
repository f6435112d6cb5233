// The uniform-disk kernel far from the source: the closed form is kept to the bit up to
// u = 20 rho (outside the limb zone), the expansions beyond it meet the closed form and each
// other at the seams and stay finite and at least 1 where u^2 overflows. Accuracy against mpmath
// is tested in test_disk_zones.cpp and tests/python.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "models/witt_mao.hpp"
#include "numerics/elliptic.hpp"

namespace mirvanta::models {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

double band(double rho) {
    const double w = 0.001 * std::fabs(rho);
    return std::isnan(w) || !(w > 1e-5) ? 1e-5 : w;
}

// The closed form alone, written out again with each operation in the same order: point source,
// a constant value within band(rho) of the limb, the general form. Wherever neither the series
// nor the limb zone takes over, the kernel gives its bits.
double closed_form_kernel(double u, double rho) {
    if (rho <= 0.0) return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
    const double d = u - rho;
    const double t = rho * rho;
    if (std::fabs(d) < band(rho)) return (2.0 / rho + ((t + 1.0) / t) * (std::asin((t - 1.0) / (t + 1.0)) + kPi / 2)) / kPi;
    const double s = u + rho;
    const double n = (u * (4.0 * rho)) / (s * s);
    const double g = std::sqrt(d * d + 4.0);
    const double k = std::sqrt(4.0 * n) / g;
    const double m = k * k;
    const auto e = numerics::ellipe(m);
    const auto big_k = e ? numerics::ellipk(m) : e;
    const auto p = big_k ? numerics::ellippi(n, m) : big_k;
    if (!p) return kNan;
    const double c_e = (s * g) / (t + t);
    const double c_k = (d * (4.0 + (u * u - t) * 0.5)) / (t * g);
    const double c_p = ((t + 1.0) * (d * d + d * d)) / ((t * s) * g);
    return ((c_e * e.value() - c_k * big_k.value()) + c_p * p.value()) / kPi;
}

bool same_bits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

const std::vector<double> kRadii = {1e-10, 3e-9, 1.2e-8, 1e-6, 1e-4, 0.003, 0.01, 0.1, 0.7, 1.0, 3.7, 10.0};

TEST(WittMaoFarField, ClosedFormKeptUpToTwentyRadii) {
    for (const double rho : kRadii) {
        const double seam = 20.0 * rho;
        std::vector<double> separations = {0.0, 0.5 * rho, seam, std::nextafter(seam, 0.0), -rho, -2.0 * seam};
        for (int i = 0; i <= 3000; ++i) separations.push_back(rho * std::pow(10.0, -3.0 + i * 0.002));
        for (const double u : separations) {
            if (u > seam) continue;  // the series
            // The limb zone, and band(rho) where it reaches farther: the forms differ there.
            if (std::fabs(u - rho) < std::fmax(0.04 * rho, band(rho))) continue;
            ASSERT_TRUE(same_bits(witt_mao_magnification_scaled(u, rho), closed_form_kernel(u, rho)))
                << "u = " << u << ", rho = " << rho;
        }
    }
    // Infinite and NaN arguments and non-positive radii give the closed form's results.
    for (const double u : {kInf, -kInf, kNan, 1.0, 0.0, -0.0, -1.0}) {
        for (const double rho : {kInf, kNan, 0.0, -0.0, -1.0, 0.1}) {
            EXPECT_TRUE(same_bits(witt_mao_magnification_scaled(u, rho), closed_form_kernel(u, rho)))
                << "u = " << u << ", rho = " << rho;
        }
    }
}

TEST(WittMaoFarField, SeamsAreWithinRoundingErrors) {
    // At u = 20 rho the closed form is good to 2.6 eps 20^2 (2.3e-13), the series on either side
    // of u = 1000 rho to a few ulps.
    for (const double rho : kRadii) {
        for (const double ratio : {20.0, 1000.0}) {
            const double seam = ratio * rho;
            const double closer = witt_mao_magnification_scaled(seam, rho);
            const double farther = witt_mao_magnification_scaled(std::nextafter(seam, kInf), rho);
            EXPECT_NEAR(farther / closer, 1.0, ratio == 20.0 ? 3e-13 : 2e-15) << rho << ", " << ratio;
        }
    }
}

TEST(WittMaoFarField, HugeSeparationsGiveOne) {
    // Where u^2 and the powers of the expansion overflow, the magnification is 1 to the last bit.
    for (const double u : {2e4, 1e77, 1e103, 1e154, 1e200, kMax}) {
        for (const double rho : {1e-300, 1e-3, 10.0}) EXPECT_EQ(witt_mao_magnification_scaled(u, rho), 1.0) << u;
    }
    // A subnormal source radius is a point source to double precision.
    const double tiny = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(witt_mao_magnification_scaled(1.0, tiny), witt_mao_magnification_scaled(1.0, 0.0));
}

}  // namespace
}  // namespace mirvanta::models
