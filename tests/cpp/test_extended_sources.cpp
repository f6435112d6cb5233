// Limb-darkened and flux-map sources: against 2-D integration, one-point maps, limits, the length
// check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "models/source_radii/flux_map.hpp"
#include "models/kernel/heyrovsky.hpp"
#include "models/source_radii/integrated.hpp"
#include "models/kernel/witt_mao.hpp"
#include "numerics/quadrature.hpp"
#include "common/panic.hpp"
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
    const auto flux = [](std::vector<double> bl, std::vector<double> bf) {
        double sum = 0.0;
        const FluxMap map = flux_map(bl, bf).value();
        for (const MapPiece& piece : map.pieces) sum += piece.flux;
        return sum;
    };
    EXPECT_NEAR(flux({0.0, 1.0}, {1.0, 1.0}) / kPi, 1.0, 5e-14);
    EXPECT_NEAR(flux({0.0, 1.0}, {1.0, 0.0}) / (kPi / 3.0), 1.0, 5e-14);
}

TEST(LimbDarkened, AgainstTwoDimensionalIntegration) {
    // Sources of rho = 1e-4 to 1, the lens from the centre through the limb to 3 radii out, against
    // the 2-D integral of the point-source magnification over the disk
    // (tools/gen_limb_darkened_reference.py, 20 digits). Inside the source the quadrature runs on
    // either side of the radius where the disks pass through the lens; across it, it was 3.4e-6 off.
    int inside = 0;
    for (const auto& c : testing::load_reference("limb_darkened")) {
        const double l = c.inputs[0], rho = c.inputs[1];
        const double value = integrated_witt_mao_magnification({l}, 1.0, rho)[0];
        const double error = static_cast<double>(std::fabs(static_cast<long double>(value) / c.expected - 1.0L));
        EXPECT_LE(error, 1e-12) << c.line;
        inside += l < 1.0;
    }
    EXPECT_GE(inside, 60);
}

TEST(LimbDarkened, ContinuousThroughTheLimbAndAtTheCentre) {
    // Next to l = 1 and l = 0 the bend is next to an end of the interval (x* = 1.5e-8 and
    // 1 - 5e-15 here): the split there and the whole-interval rule at l = 1 and 0 must agree.
    for (const double rho : {1e-4, 0.05, 1.0}) {
        const auto at = [&](double l) { return integrated_witt_mao_magnification({l}, 1.0, rho)[0]; };
        EXPECT_NEAR(at(std::nextafter(1.0, 0.0)) / at(1.0), 1.0, 1e-13) << rho;
        EXPECT_NEAR(at(1e-7) / at(0.0), 1.0, 1e-13) << rho;
    }
    EXPECT_TRUE(std::isnan(integrated_witt_mao_magnification({kNan}, 1.0, 0.1)[0]));
}

TEST(Annulus, IsTheRingMagnificationOfTheDisks) {
    // Its half-width is pinned by the recorded bits of the flux maps (test_extended_bits.cpp) and
    // by the one-point map's deficit, derived from it (FluxMaps.OnePointMapAgainstTheUniformDisk).
    const double u = 0.5, rho = 0.1;
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
              "src/models/source_radii/flux_map.cpp");
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

TEST(FluxMaps, TheBrightnessUnitChangesNoBit) {
    // Brightness near the largest double, whose magnified flux overflows, or tiny: the same bits.
    const std::vector<double> bl{0.0, 0.35, 0.8, 1.0}, bf{1.0, 0.7, 0.9, 0.2};
    const std::vector<double> l{0.2, 0.9, 1.0, 3.0};
    const auto at = integrated_flux_map_witt_mao_magnification(l, 1.0, 0.1, bl, bf).value();
    for (const double unit : {0x1p1020, 0x1p-1000}) {
        std::vector<double> scaled;
        for (const double b : bf) scaled.push_back(b * unit);
        EXPECT_EQ(integrated_flux_map_witt_mao_magnification(l, 1.0, 0.1, bl, scaled).value(), at) << unit;
        EXPECT_EQ(integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, scaled).value(),
                  integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, bf).value()) << unit;
    }
}

TEST(FluxMaps, OnePointMaps) {
    const std::vector<double> outside{1.5, 3.0, 20.0};
    const double rho = 0.1;
    const auto disk = integrated_flux_map_witt_mao_magnification(outside, 1.0, rho, {0.3}, {2.0}).value();
    const auto ring = integrated_flux_map_heyrovsky_magnification(outside, 1.0, rho, {0.3}, {2.0}).value();
    for (std::size_t i = 0; i < outside.size(); ++i) {
        EXPECT_NEAR(disk[i] / witt_mao_magnification_scaled(outside[i] * rho, rho), 1.0, 1e-9) << outside[i];
        EXPECT_NEAR(ring[i] / heyrovsky_magnification(outside[i], 1.0, 1.0, rho).value(), 1.0, 1e-9) << outside[i];
    }
}

double one_point_map(double l, double rho) {
    return integrated_flux_map_witt_mao_magnification({l}, 1.0, rho, {0.4}, {3.0}).value()[0];
}

// The flux map's integrand over [0, 1] in pieces of at most 1/50, with a break at every bend of
// the annulus (x = 1e-4 and 1 - 1e-4, where it is cut, and l -+ 1e-4, where its disks pass the
// lens) and at 10^(-k/2) either side of each: a composite rule that resolves the bends by brute
// force, as a reference for the few pieces of the function.
double one_point_map_by_many_pieces(double l, double rho) {
    const double u = l * rho;
    const auto integrand = [&](double x) { return (x * 6.283185307179586) * annulus_magnification(x, u, rho); };
    std::vector<double> points;
    for (int i = 0; i <= 50; ++i) points.push_back(i / 50.0);
    for (const double bend : {1e-4, 1.0 - 1e-4, l - 1e-4, l + 1e-4}) {
        points.push_back(bend);
        for (int k = 1; k <= 10; ++k) {
            points.push_back(bend - std::pow(10.0, -k / 2.0));
            points.push_back(bend + std::pow(10.0, -k / 2.0));
        }
    }
    std::erase_if(points, [](double x) { return !(x >= 0.0 && x <= 1.0); });
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    long double sum = 0.0L;
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        sum += numerics::double_exponential_integrate(integrand, points[i], points[i + 1], 1e-16).integral;
    }
    return static_cast<double>(sum / kPi);  // the flux of a constant map of brightness 1 is pi
}

TEST(FluxMaps, OnePointMapWithTheLensInsideIsResolved) {
    // A constant map is a uniform disk but for the annulus's own width. With the lens inside, the
    // annulus bends where its disks pass through the lens; the quadrature, split there, agrees
    // with a composite rule over hundreds of pieces (over [0, 1] as a whole it was up to 1.7 % off).
    for (const double rho : {1e-4, 0.3}) {
        for (const double l : {0.0, 5e-5, 1.5e-4, 1e-3, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99, 0.999, 0.99995}) {
            EXPECT_NEAR(one_point_map(l, rho) / one_point_map_by_many_pieces(l, rho), 1.0, 3e-9) << l << ", " << rho;
        }
    }
}

TEST(FluxMaps, OnePointMapAgainstTheUniformDisk) {
    for (const double rho : {1e-4, 1e-3, 0.05, 0.3}) {
        // Away from the centre and the limb the annulus's width costs less than 1e-8.
        for (const double l : {0.2, 0.5, 0.8, 0.9}) {
            EXPECT_NEAR(one_point_map(l, rho) / witt_mao_magnification_scaled(l * rho, rho), 1.0, 1e-8) << l;
        }
        // With the lens at the centre, F(r) = r^2 A(0, r rho) is about 2 r / rho for small r, and
        // the annuli within 1e-4 of the centre (whole disks of radius x + h, h = 1e-4) and the
        // next ones (differences of disks) together miss pi (2 ln 2 - 1) 2 h / rho of the magnified
        // flux pi F(1) = pi sqrt(rho^2 + 4) / rho: a relative deficit of (2 ln 2 - 1) 2 h / sqrt(rho^2 + 4).
        const double expected = 1.0 - (2.0 * std::log(2.0) - 1.0) * 2e-4 / std::sqrt(rho * rho + 4.0);
        EXPECT_NEAR(one_point_map(0.0, rho) / witt_mao_magnification_scaled(0.0, rho), expected, 1e-8) << rho;
    }
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
