// The uniform-disk kernel far from the source: the expansions beyond u = 20 rho meet the closed
// form and each other at the seams and stay finite and at least 1 where u^2 overflows; non-finite
// arguments and non-positive radii. Where each form is used is pinned by recorded bits: the switch
// at 20 rho by tests/cpp/data/extended_source_bits.txt and extended_source_inside_bits.txt, the
// closed form up to it by disk_kernel_bits.txt, the switch between the expansions at 1000 rho by
// disk_series_bits.txt (as far as results depend on it: from about 300 rho out the two expansions
// agree to the bit). Accuracy against mpmath is tested in
// test_disk_zones.cpp and tests/python.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "models/kernel/witt_mao.hpp"
#include "models/source_radii/witt_mao_batch.hpp"

namespace mirvanta::models {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

double point_source(double u) { return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0)); }

bool same_bits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

const std::vector<double> kRadii = {1e-10, 3e-9, 1.2e-8, 1e-6, 1e-4, 0.003, 0.01, 0.1, 0.7, 1.0, 3.7, 10.0};

TEST(WittMaoFarField, NonFiniteArgumentsAndNonPositiveRadii) {
    // A radius of 0 is the point source at u >= 0: +inf on the lens (-0 included), 1 infinitely
    // far; a negative, infinite or NaN radius has no value, nor has a negative or NaN separation.
    for (const double rho : {0.0, -0.0}) {
        EXPECT_TRUE(same_bits(witt_mao_magnification_scaled(1.0, rho), point_source(1.0)));
        EXPECT_EQ(witt_mao_magnification_scaled(0.0, rho), kInf);
        EXPECT_EQ(witt_mao_magnification_scaled(-0.0, rho), kInf);
        EXPECT_EQ(witt_mao_magnification_scaled(kInf, rho), 1.0);
    }
    for (const double u : {kInf, -kInf, kNan, 1.0, 0.0, -0.0, -1.0}) {
        for (const double rho : {-1.0, -1e-300, -kInf, kInf, kNan}) {
            EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(u, rho))) << u << ", " << rho;
        }
    }
    for (const double rho : {0.0, 1e-300, 0.1, 1e300}) {
        for (const double u : {-kInf, kNan, -1.0, -1e-300}) {
            EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(u, rho))) << u << ", " << rho;
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
    // Where u^2 and the powers of the expansion overflow, the magnification is 1 to the last bit,
    // and so it is infinitely far (also where u = l rho overflowed in the batch).
    for (const double u : {2e4, 1e77, 1e103, 1e154, 1e200, kMax, kInf}) {
        for (const double rho : {1e-300, 1e-3, 10.0}) EXPECT_EQ(witt_mao_magnification_scaled(u, rho), 1.0) << u;
    }
    // A subnormal source radius is a point source to double precision.
    const double tiny = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(witt_mao_magnification_scaled(1.0, tiny), witt_mao_magnification_scaled(1.0, 0.0));
    EXPECT_EQ(witt_mao_magnification({1e200, 3.0}, 1.0, 1e200), (std::vector<double>{1.0, 1.0}));
}

}  // namespace
}  // namespace mirvanta::models
