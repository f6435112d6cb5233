// Limb-darkened and flux-map sources: limits, one-point maps, the length check.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
#include "parallel/panic.hpp"
#include "reference_data.hpp"

namespace mirvanta::models {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

double point_source(double u) { return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0)); }

TEST(Profiles, LimbDarkeningAndFlux) {
    EXPECT_EQ(limb_darkening_profile(0.0), 1.0);
    EXPECT_NEAR(limb_darkening_profile(1.0), 0.4, 1e-16);
    // The flux of a constant map of brightness 1 is pi; of a linear ramp 1 - x, pi/3.
    EXPECT_NEAR(profile_flux(std::vector<double>{0.0, 1.0}, std::vector<double>{1.0, 1.0}) / kPi, 1.0, 5e-14);
    EXPECT_NEAR(profile_flux(std::vector<double>{0.0, 1.0}, std::vector<double>{1.0, 0.0}) / (kPi / 3.0), 1.0, 5e-14);
    EXPECT_EQ(profile_flux(std::vector<double>{}, std::vector<double>{}), 0.0);
    // The limb-darkened flux constant is 0.8 pi to 1.6e-14.
    EXPECT_NEAR(kLimbDarkenedFlux / (0.8 * kPi), 1.0, 2e-14);
}

TEST(LimbDarkened, NearTheLimbAgainstTwoDimensionalIntegration) {
    // Sources of rho = 1e-4 to 0.1 with the lens inside and next to the limb, against the 2-D
    // integral of the point-source magnification over the disk (tools/gen_disk_reference.py).
    // With the lens inside, the fixed quadrature nodes do not resolve the annuli next to the lens
    // (3.4e-6 at most here); outside, only the reference's 15 digits remain.
    for (const auto& c : testing::load_reference("limb_darkened")) {
        const double l = c.inputs[0], rho = c.inputs[1];
        const double value = integrated_witt_mao_magnification({l}, 1.0, rho)[0];
        const double error = static_cast<double>(std::fabs(static_cast<long double>(value) / c.expected - 1.0L));
        EXPECT_LE(error, l < 1.0 ? 5e-6 : 1e-12) << c.line;
    }
}

TEST(Annulus, IsTheRingMagnificationOfTheDisks) {
    const double u = 0.5, rho = 0.1;
    // Interior: the area-weighted difference of two disks 1e-4 either side of x.
    const double x = 0.6;
    const double r1 = x - 1e-4, r2 = x + 1e-4;
    const double expected = (r2 * r2 * witt_mao_magnification_scaled(u, r2 * rho) -
                             r1 * r1 * witt_mao_magnification_scaled(u, r1 * rho)) /
                            (r2 * r2 - r1 * r1);
    EXPECT_EQ(annulus_magnification(x, u, rho), expected);
    // Near the centre the annulus is the whole disk of radius x + 1e-4.
    EXPECT_EQ(annulus_magnification(5e-5, u, rho), witt_mao_magnification_scaled(u, (5e-5 + 1e-4) * rho));
    // It approaches the ring magnification (a thin ring far from the lens is nearly a point).
    EXPECT_NEAR(annulus_magnification(0.5, 3.0, rho) / point_source(3.0), 1.0, 1e-4);
    // A NaN radius clamps to the whole disk (r- = 0, r+ = 1).
    EXPECT_EQ(annulus_magnification(kNan, u, rho), witt_mao_magnification_scaled(u, rho));
}

std::string panic_message(auto call) {
    try {
        call();
    } catch (const Panic& panic) {
        return panic.what();
    }
    return "<no panic>";
}

// Where the panic was raised, as the failure report prints it.
std::string panic_file(auto call) {
    try {
        call();
    } catch (const Panic& panic) {
        return panic.where().file_name();
    }
    return "<no panic>";
}

TEST(FluxMaps, LengthsMustMatchBeforeAnyWork) {
    const std::string expected = "assertion `left == right` failed\n  left: 2\n right: 3";
    const std::vector<double> bl{0.1, 0.2}, bf{1.0, 1.0, 1.0};
    EXPECT_EQ(panic_message([&] { discrete_flux_map_heyrovsky_magnification({}, 1.0, 1.0, bl, bf); }), expected);
    EXPECT_EQ(panic_message([&] { integrated_flux_map_witt_mao_magnification({}, 1.0, 1.0, bl, bf); }), expected);
    EXPECT_EQ(panic_message([&] { integrated_flux_map_heyrovsky_magnification({1.0}, 1.0, 1.0, bl, bf); }), expected);
    // Relative to the project root whatever folder holds the checkout (a folder named src included).
    EXPECT_EQ(panic_file([&] { discrete_flux_map_heyrovsky_magnification({}, 1.0, 1.0, bl, bf); }),
              "src/models/flux_map.cpp");
}

TEST(FluxMaps, DiscreteIsAWeightedSumOfRings) {
    const std::vector<double> l{0.3, 2.0, 15.0};
    const auto one = discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, {0.5}, {1.0});
    ASSERT_TRUE(one.has_value());
    for (std::size_t i = 0; i < l.size(); ++i) EXPECT_EQ(one.value()[i], heyrovsky_magnification(l[i], 0.5, 1.0, 0.1).value());
    const auto empty = discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, {}, {});
    EXPECT_EQ(empty.value(), std::vector<double>(3, 0.0));
    const auto failing = discrete_flux_map_heyrovsky_magnification({1.0, -1.0}, 1.0, 0.1, {0.5}, {1.0});
    ASSERT_FALSE(failing.has_value());
    EXPECT_STREQ(failing.error().message, "ellipk: Arguments cannot be NAN.");
    // A separation on a ring: infinite, or NaN when its weight is 0.
    EXPECT_EQ(discrete_flux_map_heyrovsky_magnification({0.5}, 1.0, 0.1, {0.5}, {2.0}).value()[0], INFINITY);
    EXPECT_TRUE(std::isnan(discrete_flux_map_heyrovsky_magnification({0.5}, 1.0, 0.1, {0.5}, {0.0}).value()[0]));
}

TEST(FluxMaps, OnePointMaps) {
    const std::vector<double> outside{1.5, 3.0, 20.0};
    const double rho = 0.1;
    const auto disk = integrated_flux_map_witt_mao_magnification(outside, 1.0, rho, {0.3}, {2.0});
    const auto ring = integrated_flux_map_heyrovsky_magnification(outside, 1.0, rho, {0.3}, {2.0});
    for (std::size_t i = 0; i < outside.size(); ++i) {
        EXPECT_NEAR(disk[i] / witt_mao_magnification_scaled(outside[i] * rho, rho), 1.0, 1e-9) << outside[i];
        EXPECT_NEAR(ring[i] / heyrovsky_magnification(outside[i], 1.0, 1.0, rho).value(), 1.0, 1e-9) << outside[i];
    }
    // An empty or all-zero map: F = 0, so 0/0.
    for (double v : integrated_flux_map_witt_mao_magnification({2.0}, 1.0, rho, {}, {})) EXPECT_TRUE(std::isnan(v));
    for (double v : integrated_flux_map_heyrovsky_magnification({2.0}, 1.0, rho, {0.5}, {0.0})) EXPECT_TRUE(std::isnan(v));
}

TEST(Integrated, FarFromTheSourceIsAPointSource) {
    const double rho = 0.01;
    for (double l : {300.0, 1000.0}) {
        const double u = l * rho;
        EXPECT_NEAR(integrated_witt_mao_magnification({l}, 1.0, rho)[0] / point_source(u), 1.0, 1e-6);
        EXPECT_NEAR(integrated_heyrovsky_magnification({l}, 1.0, rho)[0] / point_source(u), 1.0, 1e-6);
    }
    EXPECT_TRUE(integrated_witt_mao_magnification({}, 1.0, rho).empty());
    // NaN re in the ring variant: every integrand value is dropped, the result is 0.
    EXPECT_EQ(integrated_heyrovsky_magnification({0.5, 3.0}, kNan, 1.0), (std::vector<double>{0.0, 0.0}));
}

}  // namespace
}  // namespace mirvanta::models
