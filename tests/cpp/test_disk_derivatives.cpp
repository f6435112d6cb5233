// The uniform disk's derivatives: against mpmath (tools/gen_disk_derivative_reference.py: the
// closed form differentiated by mpmath.diff, and for huge sources the limb's moment and the ring
// mean by quadrature), against the ring kernel through d(rho^2 A)/drho = 2 rho R, continuous
// across every switch of form, and their values where they have limits or none.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "kernel_sample.hpp"
#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/disk_forms.hpp"
#include "models/kernel/heyrovsky.hpp"
#include "models/kernel/witt_mao.hpp"
#include "reference_data.hpp"

namespace mirvanta::models {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

const char* form_name(double u, double rho) {
    if (u == rho) return "on the limb";
    switch (disk_form(u, rho)) {
        case DiskForm::far_field: return "far-field series";
        case DiskForm::mid_field: return "mid-field series";
        case DiskForm::tiny_source: return "tiny source";
        case DiskForm::huge_source: return "huge source";
        case DiskForm::limb: return "limb zone";
        case DiskForm::general: return u < rho ? "closed form, inside" : "closed form, outside";
        default: return "other";
    }
}

// The error of a derivative relative to max(|derivative|, A/rho): derivatives that pass through 0
// (dA/drho inside the disk) or are small beside A's own scale are measured on that scale.
double scaled_error(double value, long double expected, double a_over_rho) {
    const long double scale = std::fmax(std::fabs(static_cast<double>(expected)), a_over_rho);
    return static_cast<double>(std::fabs(static_cast<long double>(value) - expected) / scale);
}

// Worst errors per form and derivative, printed after the test (the header quotes them): on the
// scale above, and relative to the derivative itself.
class Worst {
public:
    void add(const std::string& form, const char* which, double scaled, double relative) {
        Entry& e = find(form + ", " + which);
        e.scaled = std::fmax(e.scaled, scaled);
        e.relative = std::fmax(e.relative, relative);
        ++e.count;
    }
    double scaled(const std::string& key) { return find(key).scaled; }
    double relative(const std::string& key) { return find(key).relative; }
    void print(const char* file) const {
        for (const Entry& e : entries_) {
            std::cout << "[ relative ] " << file << ", " << e.key << ": worst " << e.scaled << " of max(|d|, A/rho), "
                      << e.relative << " of |d|, over " << e.count << " cases\n";
        }
    }

private:
    struct Entry {
        std::string key;
        double scaled = 0.0, relative = 0.0;
        int count = 0;
    };
    Entry& find(const std::string& key) {
        for (Entry& e : entries_) {
            if (e.key == key) return e;
        }
        entries_.push_back({key});
        return entries_.back();
    }
    std::vector<Entry> entries_;
};

Worst against_reference(const char* family, double bound) {
    Worst worst;
    for (const auto& c : testing::load_reference_rows(family, 2)) {
        const double u = c.inputs[0], rho = c.inputs[1];
        const DiskDerivatives d = witt_mao_derivatives(u, rho);
        const double a_over_rho = d.value / rho;
        const char* which[] = {"dA/du", "dA/drho"};
        const double computed[] = {d.du, d.drho};
        for (int i = 0; i < 2; ++i) {
            const long double expected = c.expected[i];
            double scaled, relative;
            if (std::fabs(expected) > std::numeric_limits<double>::max()) {
                // Beyond the doubles (next to tiny sources): the infinity of its sign.
                scaled = relative = computed[i] == (expected > 0 ? kInf : -kInf) ? 0.0 : kInf;
            } else {
                scaled = scaled_error(computed[i], expected, a_over_rho);
                relative = expected == 0 ? std::fabs(computed[i])
                                         : static_cast<double>(std::fabs(computed[i] / expected - 1.0L));
            }
            EXPECT_LE(scaled, bound) << which[i] << ": " << c.line << " gives " << computed[i];
            worst.add(form_name(u, rho), which[i], scaled, relative);
        }
    }
    worst.print(family);
    return worst;
}

// dA/du cancels nowhere: within 1e-12 of itself on the closed form, whose K and E lose digits
// only to the rounding of m next to the limb zone.
void expect_du_relative(Worst& worst) {
    for (const char* key : {"closed form, inside, dA/du", "closed form, outside, dA/du"}) {
        EXPECT_LE(worst.relative(key), 1e-12) << key;
    }
}

TEST(DiskDerivatives, ThroughTheLimbAgainstMpmath) {
    Worst worst = against_reference("disk_derivatives_limb", 1e-11);
    expect_du_relative(worst);
    // The limb zone's complements keep full precision next to the limb.
    EXPECT_LE(worst.scaled("limb zone, dA/du"), 1e-14);
    EXPECT_LE(worst.scaled("limb zone, dA/drho"), 1e-14);
}

TEST(DiskDerivatives, AwayFromTheLimbAgainstMpmath) {
    Worst worst = against_reference("disk_derivatives_away", 1e-11);
    expect_du_relative(worst);
    // Both series are good to a few ulps of the derivatives themselves (nothing cancels, and the
    // first term left out is below 3e-17 of the sum).
    for (const char* key : {"mid-field series, dA/du", "mid-field series, dA/drho", "far-field series, dA/du",
                            "far-field series, dA/drho"}) {
        EXPECT_LE(worst.relative(key), 2e-15) << key;
    }
}

TEST(DiskDerivatives, HugeSourcesAgainstQuadrature) { against_reference("disk_derivatives_huge", 1e-13); }

// The value is the kernel's, to the bit, on every form; no derivative is NaN where the value is a
// number (but u = rho = 0, where none has a limit), and dA/du is never positive: moving the disk
// away from the lens lowers the magnification everywhere.
TEST(DiskDerivatives, ValueIsTheKernelsAndDerivativesAreNumbers) {
    std::size_t count = 0;
    for (const auto& run : testing::kernel_sample(200000, 20270301)) {
        for (const double x : run.x) {
            const double u = x * run.rho;
            const DiskDerivatives d = witt_mao_derivatives(u, run.rho);
            const double kernel = witt_mao_magnification_scaled(u, run.rho);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(d.value), std::bit_cast<std::uint64_t>(kernel))
                << u << ", " << run.rho;
            if (std::isnan(kernel)) {
                EXPECT_TRUE(std::isnan(d.du) && std::isnan(d.drho)) << u << ", " << run.rho;
            } else if (!(u == 0.0 && run.rho == 0.0)) {
                EXPECT_FALSE(std::isnan(d.du) || std::isnan(d.drho)) << u << ", " << run.rho;
                EXPECT_LE(d.du, 0.0) << u << ", " << run.rho;
            }
            ++count;
        }
    }
    EXPECT_GE(count, 200000u);
}

// d(rho^2 A)/drho = 2 rho R, R the ring kernel in source radii (l = u/rho, r = 1, re/rstar =
// 1/rho): an independent evaluation of R for the closed form's dA/drho, and a check of every
// other form's. Away from the limb, where l = u/rho rounds.
TEST(DiskDerivatives, RadiusDerivativeIsTheRingIdentity) {
    double worst = 0.0;
    for (const double rho : {1e-6, 3e-4, 0.01, 0.2, 1.0, 7.0, 100.0, 1e-150, 1e9}) {
        for (int i = 0; i <= 120; ++i) {
            const double ratio = std::pow(10.0, -3.0 + i * 0.05);  // 1e-3 to 1e3
            if (std::fabs(ratio - 1.0) < 1e-6) continue;
            const double u = ratio * rho;
            const DiskDerivatives d = witt_mao_derivatives(u, rho);
            const auto ring = heyrovsky_magnification(u / rho, 1.0, 1.0, rho);
            ASSERT_TRUE(ring.has_value());
            const double identity = (2.0 / rho) * (ring.value() - d.value);
            const double error = std::fabs(d.drho - identity) / std::fmax(std::fabs(d.drho), d.value / rho);
            EXPECT_LE(error, 1e-11) << u << ", " << rho;
            worst = std::fmax(worst, error);
        }
    }
    std::cout << "[ relative ] dA/drho against (2/rho) (R - A), R by the ring kernel: worst " << worst << "\n";
}

// The relative jump of a derivative between adjacent doubles where the form changes, on the
// scale max(|d|, A/rho).
double jump(double before, double after, double a_over_rho) {
    return std::fabs(after - before) / std::fmax(std::fmax(std::fabs(before), std::fabs(after)), a_over_rho);
}

void expect_continuous(double u_before, double u_after, double rho_before, double rho_after, double bound) {
    const DiskDerivatives a = witt_mao_derivatives(u_before, rho_before);
    const DiskDerivatives b = witt_mao_derivatives(u_after, rho_after);
    const double scale = a.value / rho_before;
    const auto where = [&] {
        std::ostringstream text;
        text << std::setprecision(17) << u_before << ", " << rho_before << " / " << u_after << ", " << rho_after;
        return text.str();
    };
    EXPECT_LE(jump(a.du, b.du, scale), bound) << where();
    EXPECT_LE(jump(a.drho, b.drho, scale), bound) << where();
}

// At the limb zone's edges, where H(m) switches from its series to K and E (m = 0.3), at 20 rho
// and 1000 rho, and where sources become tiny or huge. (The derivatives change by about 1e-16
// of themselves from one double to the next.)
TEST(DiskDerivatives, ContinuousAcrossEverySwitch) {
    for (const double rho : {1e-10, 1e-6, 1e-3, 0.05, 0.5, 2.0, 100.0}) {
        for (const double side : {-1.0, 1.0}) {
            double u = rho + side * 0.04 * rho;
            while (disk_form(u, rho) != DiskForm::general) u = std::nextafter(u, side * kInf);
            expect_continuous(std::nextafter(u, rho), u, rho, rho, 1e-12);
        }
        // At 20 rho within the closed form's error there (its value's, about 2.3e-13 of A, twice
        // in dA/drho); the two series at 1000 rho within their rounding.
        expect_continuous(20.0 * rho, std::nextafter(20.0 * rho, kInf), rho, rho, 1e-12);
        expect_continuous(1000.0 * rho, std::nextafter(1000.0 * rho, kInf), rho, rho, 1e-14);
        // m = 16 u rho / ((u + rho)^2 ((u - rho)^2 + 4)) passes 0.3 inside and outside the disk
        // (for rho up to about 2.6); bisect for the switch.
        for (const double lower : {0.0, 1.04 * rho}) {
            double low = lower, high = lower == 0.0 ? 0.96 * rho : 20.0 * rho;
            const auto m = [rho](double u) {
                const double s = u + rho, d = u - rho;
                return 16.0 * u * rho / (s * s * (d * d + 4.0));
            };
            if (!((m(low) - 0.3) * (m(high) - 0.3) < 0.0)) continue;
            for (int i = 0; i < 200 && std::nextafter(low, kInf) < high; ++i) {
                const double mid = 0.5 * (low + high);
                ((m(mid) < 0.3) == (m(low) < 0.3) ? low : high) = mid;
            }
            // Eight doubles on each side, since the kernel's rounded m may cross 0.3 a double or
            // two away from this one.
            for (int step = 0; step < 8; ++step) {
                low = std::nextafter(low, 0.0);
                high = std::nextafter(high, kInf);
            }
            expect_continuous(low, high, rho, rho, 1e-12);
        }
    }
    for (const double ratio : {0.0, 0.5, 0.999, 1.001, 1.5, 19.0}) {
        const double tiny = 1e-100, below = std::nextafter(tiny, 0.0);
        expect_continuous(ratio * below, ratio * tiny, below, tiny, 1e-12);
        const double huge = 0x1p27, above = std::nextafter(huge, kInf);
        for (const double u : {ratio * huge, huge + (ratio - 1.0)}) {
            if (u != huge) expect_continuous(u, u, huge, above, 1e-12);
        }
    }
}

// Where the derivatives have limits, or none.
TEST(DiskDerivatives, Limits) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double rho : {1e-300, 1e-8, 0.3, 1.0, 50.0, 1e9, 1e200}) {
        // u = 0: the disk centred on the lens, A = sqrt(rho^2 + 4) / rho.
        const DiskDerivatives centre = witt_mao_derivatives(0.0, rho);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(centre.du), 0u) << rho;  // +0
        const double t = rho * rho;
        const double expected = rho < 1e100 ? -4.0 / (t * std::sqrt(t + 4.0)) : -4.0 / (rho * rho * rho);
        if (std::isinf(expected)) {
            EXPECT_EQ(centre.drho, expected) << rho;  // -2 / rho^2 overflows
        } else {
            EXPECT_LE(std::fabs(centre.drho - expected), 1e-13 * centre.value / rho) << rho;
        }
        // The limb: the value is the kernel's, the derivatives the limits from both sides.
        const DiskDerivatives limb = witt_mao_derivatives(rho, rho);
        EXPECT_EQ(limb.value, witt_mao_magnification_scaled(rho, rho)) << rho;
        EXPECT_EQ(limb.du, -kInf) << rho;
        EXPECT_EQ(limb.drho, kInf) << rho;
        // Infinitely far.
        const DiskDerivatives far = witt_mao_derivatives(kInf, rho);
        EXPECT_TRUE(far.value == 1.0 && far.du == 0.0 && far.drho == 0.0) << rho;
    }
    // The point source.
    for (const double u : {1e-150, 1e-3, 0.5, 1.0, 4.0, 1e3, 1e60}) {
        const DiskDerivatives d = witt_mao_derivatives(u, 0.0);
        const double expected = -8.0 / (u * u * std::pow(u * u + 4.0, 1.5));
        EXPECT_LE(std::fabs(d.du / expected - 1.0), 1e-15) << u;
        EXPECT_EQ(d.drho, 0.0) << u;
    }
    const DiskDerivatives origin = witt_mao_derivatives(0.0, 0.0);
    EXPECT_TRUE(origin.value == kInf && std::isnan(origin.du) && std::isnan(origin.drho));
    // Outside the domain: NaN for all three.
    for (const auto& [u, rho] : {std::pair{nan, 0.5}, {0.5, nan}, {-0.5, 0.5}, {0.5, -0.5}, {0.5, kInf}, {-kInf, 0.5},
                                 {-1.0, 0.0}, {-1e-120, 1e-110}}) {
        const DiskDerivatives d = witt_mao_derivatives(u, rho);
        EXPECT_TRUE(std::isnan(d.value) && std::isnan(d.du) && std::isnan(d.drho)) << u << ", " << rho;
    }
}

// Next to the limb dA/du = (2 / (pi rho^2)) ln|u - rho| + a constant (from K's logarithm as
// 1 - m -> 0), on both sides; dA/drho has the opposite coefficient. The difference between
// |u - rho| of about 1e-12 rho and 1e-10 rho isolates it (u - rho as the doubles have it).
TEST(DiskDerivatives, LogarithmicNextToTheLimb) {
    for (const double rho : {1e-6, 0.01, 1.0, 30.0}) {
        for (const double side : {-1.0, 1.0}) {
            const double near_u = rho * (1.0 + side * 1e-12), far_u = rho * (1.0 + side * 1e-10);
            const DiskDerivatives nearer = witt_mao_derivatives(near_u, rho);
            const DiskDerivatives farther = witt_mao_derivatives(far_u, rho);
            const double slope = 2.0 / (3.141592653589793 * rho * rho) * std::log((near_u - rho) / (far_u - rho));
            EXPECT_NEAR((nearer.du - farther.du) / slope, 1.0, 1e-8) << rho << ", " << side;
            EXPECT_NEAR((nearer.drho - farther.drho) / -slope, 1.0, 1e-8) << rho << ", " << side;
        }
    }
}

}  // namespace
}  // namespace mirvanta::models
