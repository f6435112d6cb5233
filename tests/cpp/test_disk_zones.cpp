// The uniform-disk kernel through the limb, between the closed form and the far field, and for
// sources too small or too large for the closed form in doubles: against mpmath references
// (tools/gen_disk_reference.py), bit for bit against the results recorded before these forms
// existed (tools/record_disk_bits.py), and continuous across every switch of form. Also the ring
// kernel next to the ring.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "models/kernel/disk_forms.hpp"
#include "models/kernel/heyrovsky.hpp"
#include "models/kernel/witt_mao.hpp"
#include "reference_data.hpp"

namespace mirvanta::models {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double relative_error(double value, long double expected) {
    return static_cast<double>(std::fabs(static_cast<long double>(value) / expected - 1.0L));
}

// The worst relative error of each form over a reference file, printed after the test as the
// elliptic families print theirs (the headers quote these figures).
class WorstByForm {
public:
    void add(const char* form, double error) {
        for (auto& [name, worst, count] : forms_) {
            if (name == form) {
                worst = std::fmax(worst, error);
                ++count;
                return;
            }
        }
        forms_.push_back({form, error, 1});
    }
    double worst(const char* form) const {
        for (const auto& [name, worst, count] : forms_) {
            if (name == form) return worst;
        }
        return 0.0;
    }
    void print(const char* file) const {
        for (const auto& [name, worst, count] : forms_) {
            std::cout << "[ relative ] " << file << ", " << name << ": worst " << worst << " over " << count
                      << " cases\n";
        }
    }

private:
    struct Form {
        std::string name;
        double worst;
        int count;
    };
    std::vector<Form> forms_;
};

const char* form_name(DiskForm form) {
    switch (form) {
        case DiskForm::point_source: return "point source";
        case DiskForm::no_source: return "no source";
        case DiskForm::infinitely_far: return "infinitely far";
        case DiskForm::far_field: return "far-field series";
        case DiskForm::mid_field: return "mid-field series";
        case DiskForm::tiny_source: return "tiny source";
        case DiskForm::huge_source: return "huge source";
        case DiskForm::limb: return "limb zone";
        case DiskForm::general: return "closed form";
    }
    return "?";
}

// The closed form and the far-field series where an older build used them, and the two
// expansions from 20 rho to 5000 rho, which pin the long series and its switch at 20 rho, and the
// switch between the two at 1000 rho wherever results depend on it (moved in below about 300 rho;
// further out the two agree to the bit).
TEST(DiskZones, RecordedBits) {
    for (const auto& [name, at_least] : {std::pair{"disk_kernel_bits.txt", 1000}, std::pair{"disk_series_bits.txt", 400}}) {
        std::ifstream file(std::string(MIRVANTA_TEST_DATA) + "/" + name);
        ASSERT_TRUE(file.good()) << name;
        int count = 0;
        for (std::string line; std::getline(file, line);) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string u_text, rho_text, bits_text;
            fields >> u_text >> rho_text >> bits_text;
            const double u = std::strtod(u_text.c_str(), nullptr);
            const double rho = std::strtod(rho_text.c_str(), nullptr);
            const std::uint64_t expected = std::stoull(bits_text, nullptr, 16);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(witt_mao_magnification_scaled(u, rho)), expected) << name << ": " << line;
            ++count;
        }
        EXPECT_GT(count, at_least) << name;
    }
}

// Wherever the rule says general, the kernel is the closed form itself, to the bit; the rule says
// general exactly outside the limb zone, the series and the extreme radii.
TEST(DiskZones, GeneralFormIsTheKernelWhereverChosen) {
    for (const double rho : {1e-100, 3e-60, 1e-10, 2.5e-7, 1e-3, 0.37, 1.0, 64.0, 0x1p27}) {
        // u/rho from 1e-7 to 1, and 1 + 0.04 sinh(i/100) from 0 to 2.4e4, densest near the limb.
        for (int i = -1740; i <= 1400; ++i) {
            const double ratio = i < -390 ? std::pow(10.0, (i + 390) / 200.0) : 1.0 + 0.04 * std::sinh(i / 100.0);
            if (!(ratio >= 0.0)) continue;
            for (const double u : {ratio * rho, std::nextafter(ratio * rho, 0.0), std::nextafter(ratio * rho, kInf)}) {
                const bool general = std::fabs(u - rho) >= 0.04 * rho && u <= 20.0 * rho;
                ASSERT_EQ(disk_form(u, rho) == DiskForm::general, general) << u << ", " << rho;
                if (general) {
                    ASSERT_EQ(std::bit_cast<std::uint64_t>(witt_mao_magnification_scaled(u, rho)),
                              std::bit_cast<std::uint64_t>(witt_mao_general_form(u, rho)))
                        << u << ", " << rho;
                }
            }
        }
    }
    for (const double rho : {9.9e-101, 1e-300, std::nextafter(0x1p27, kInf), 1e300}) {
        EXPECT_NE(disk_form(0.5 * rho, rho), DiskForm::general) << rho;
    }
}

TEST(DiskZones, ThroughTheLimbAgainstMpmath) {
    WorstByForm worst;
    for (const auto& c : testing::load_reference("disk_limb")) {
        const double u = c.inputs[0], rho = c.inputs[1];
        const double error = relative_error(witt_mao_magnification_scaled(u, rho), c.expected);
        EXPECT_LE(error, 1e-12) << c.line;
        worst.add(u == rho ? "on the limb" : form_name(disk_form(u, rho)), error);
    }
    worst.print("disk_limb");
    // The limb value is good to an ulp or two, the zone's form to a few; next to the zone the
    // closed form loses up to about 6 eps / x^2, 8.4e-13 at x = 0.04.
    EXPECT_LE(worst.worst("on the limb"), 3e-16);
    EXPECT_LE(worst.worst("limb zone"), 2e-15);
    EXPECT_GT(worst.worst("closed form"), 1e-13);  // the cases straddle the zone's edges
}

TEST(DiskZones, AwayFromTheLimbAgainstMpmath) {
    WorstByForm worst;
    for (const auto& c : testing::load_reference("disk_away")) {
        const double u = c.inputs[0], rho = c.inputs[1];
        const double value = witt_mao_magnification_scaled(u, rho);
        const DiskForm form = disk_form(u, rho);
        // Both series are good to a few ulps.
        const bool series = form == DiskForm::mid_field || form == DiskForm::far_field;
        const double error = relative_error(value, c.expected);
        EXPECT_LE(error, series ? 1e-15 : 1e-12) << c.line;
        worst.add(form_name(form), error);
        EXPECT_GE(value, 1.0) << c.line;
        if (form == DiskForm::huge_source) {
            EXPECT_EQ(value, 1.0) << c.line;
        }
    }
    worst.print("disk_away");
}

// The value on each side of a switch, at adjacent doubles.
struct Seam {
    double before, after;
};

double jump(Seam seam) { return std::fabs(seam.after / seam.before - 1.0); }

// (The seams at 20 rho and 1000 rho are tested in test_far_field.cpp.)
TEST(DiskZones, ContinuousAcrossEverySwitch) {
    const auto kernel = [](double u, double rho) { return witt_mao_magnification_scaled(u, rho); };
    for (const double rho : {1e-10, 1e-7, 3e-5, 1e-3, 0.05, 0.5, 2.0, 100.0}) {
        // The limb zone's edges: the first double outside against the last inside, each found
        // within a few doubles of 0.04 rho from the limb (a zone that has moved fails here).
        for (const double side : {-1.0, 1.0}) {
            const auto step_while = [&](double u, bool general, double towards) {
                for (int steps = 0; steps < 16 && (disk_form(u, rho) == DiskForm::general) == general; ++steps) {
                    u = std::nextafter(u, towards);
                }
                return u;
            };
            const double outside = step_while(rho + side * 0.04 * rho, false, side * kInf);
            const double inside = step_while(outside, true, rho);
            ASSERT_EQ(disk_form(outside, rho), DiskForm::general) << rho << ", " << side;
            ASSERT_EQ(disk_form(inside, rho), DiskForm::limb) << rho << ", " << side;
            EXPECT_LE(jump({kernel(inside, rho), kernel(outside, rho)}), 1e-12) << rho << ", " << side;
        }
        // The limb itself: the limb value against its neighbours, which differ from it by about
        // |x ln x| relative (x = (u - rho)/rho of about 1e-16: 4e-15).
        const double edge = kernel(rho, rho);
        EXPECT_LE(jump({edge, kernel(std::nextafter(rho, 0.0), rho)}), 1e-14) << rho;
        EXPECT_LE(jump({edge, kernel(std::nextafter(rho, kInf), rho)}), 1e-14) << rho;
    }
    // The scaled kernel of tiny sources (each side within the closed form's own error), and the
    // constant 1 of huge ones.
    for (const double ratio : {0.0, 0.5, 0.999, 1.0, 1.001, 1.5, 19.0}) {
        const double tiny = 1e-100;
        EXPECT_LE(jump({kernel(ratio * tiny, tiny), kernel(ratio * std::nextafter(tiny, 0.0), std::nextafter(tiny, 0.0))}),
                  1e-12) << ratio;
        const double huge = 0x1p27;
        EXPECT_LE(jump({kernel(ratio * huge, huge), kernel(ratio * huge, std::nextafter(huge, kInf))}), 1e-15) << ratio;
    }
}

TEST(DiskZones, FiniteForEveryFinitePositiveArgument) {
    for (int i = 0; i <= 120; ++i) {
        const double rho = std::pow(10.0, -300.0 + 5.0 * i);
        for (const double ratio : {0.0, 1e-9, 0.3, 0.97, 0.99999, 1.0, 1.00001, 1.03, 5.0, 20.5, 999.0, 1e5, 1e300}) {
            const double u = ratio * rho;
            if (!(u < kInf)) continue;
            const double value = witt_mao_magnification_scaled(u, rho);
            EXPECT_TRUE(std::isfinite(value) && value > 0.0) << u << ", " << rho << ": " << value;
            // Also for large sources, where the closed form's result fell below 1 by rounding.
            EXPECT_GE(value, 1.0) << u << ", " << rho;
        }
    }
    // Where the true value exceeds the largest double, only then, the result is infinite.
    EXPECT_EQ(witt_mao_magnification_scaled(1e-310, 1e-310), kInf);
    EXPECT_TRUE(std::isfinite(witt_mao_magnification_scaled(1e-300, 1e-300)));
}

TEST(RingZones, NextToTheRingAgainstMpmath) {
    WorstByForm worst;
    for (const auto& c : testing::load_reference("ring_near")) {
        const double l = c.inputs[0], r = c.inputs[1];
        const auto value = heyrovsky_magnification(l, r, c.inputs[2], 1.0);
        ASSERT_TRUE(value.has_value()) << c.line;
        const double error = relative_error(value.value(), c.expected);
        EXPECT_LE(error, 1e-12) << c.line;
        worst.add(std::fabs(r - l) < 0.02 * (l + r) ? "near-ring zone" : "closed form", error);
    }
    worst.print("ring_near");
}

}  // namespace
}  // namespace mirvanta::models
