// Many sources in one call: events as whole tasks (models/engine/profile_events.hpp), each the
// same bits as its call alone, within the scratch the calling thread gives it; and a call of
// many radii whose runs of one radius are served as sources of their own (models/engine/profile.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <utility>
#include <vector>

#include "models/engine/light_curves.hpp"
#include "models/engine/profile.hpp"
#include "models/engine/profile_events.hpp"
#include "models/engine/profile_interpolant.hpp"

namespace {

using mirvanta::models::ArrayView;
using mirvanta::models::BrightnessLaw;
using mirvanta::models::LawKind;
using mirvanta::models::ProfileCounts;
using mirvanta::models::ProfileReport;
using mirvanta::models::profile_magnification;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A light curve's separations: `count` epochs within `half` Einstein times of the peak.
std::vector<double> trajectory(std::size_t count, double u0, double half) {
    std::vector<double> u(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double step = count == 1 ? 0.0 : 2.0 * half / static_cast<double>(count - 1);
        const double tau = count == 1 ? 0.7 * half : -half + step * static_cast<double>(i);
        u[i] = std::sqrt(u0 * u0 + tau * tau);
    }
    return u;
}

// The engine's call of its own, with the default memory.
std::vector<double> alone(const std::vector<double>& u, double rho, const BrightnessLaw& law, double rtol,
                          ProfileCounts* counts = nullptr, ProfileReport* report = nullptr) {
    std::vector<double> out(u.size());
    const ProfileReport r = profile_magnification(u, std::span<const double>(&rho, 1), law, rtol, out.data(), counts);
    if (report != nullptr) *report = r;
    return out;
}

const std::vector<double> kRadii{0.0, 0.3, 0.3, 1.0};
const std::vector<double> kBrightness{1.0, 0.8, 0.5, 0.2};
const BrightnessLaw kLaws[] = {{LawKind::uniform, {0.0, 0.0}, {}, {}},
                               {LawKind::quadratic, {0.5, 0.2}, {}, {}},
                               {LawKind::square_root, {0.3, 0.4}, {}, {}},
                               {LawKind::power2, {0.6, 0.16}, {}, {}},
                               {LawKind::tabulated, {}, kRadii, kBrightness}};

// An event's call takes no more than profile_scratch_bytes from its memory (here a resource that
// throws beyond it), the interpolant's halvings, the counts and a whole block included, and gives
// the bits of the call with the default memory.
TEST(ProfileEvents, ScratchIsEnough) {
    struct Case {
        std::size_t count;
        double u0, half, rho, rtol;
    };
    const Case cases[] = {{2, 0.1, 1.0, 0.1, 1e-10},     {2000, 0.01, 2.0, 0.005, 1e-10},
                          {2000, 0.01, 2.0, 0.5, 1e-13}, {2000, 0.2, 3.0, 2.0, 1e-6},
                          {20000, 0.0, 40.0, 30.0, 1e-13}, {mirvanta::models::kProfileBlock, 0.01, 1.0, 0.3, 1e-10}};
    for (const BrightnessLaw& law : kLaws) {
        for (const Case& c : cases) {
            if (law.kind == LawKind::tabulated && c.count > 2000) continue;  // every separation a quadrature
            const std::vector<double> u = trajectory(c.count, c.u0, c.half);
            const mirvanta::models::ProfileSetup at_rtol(law, c.rtol);
            const std::size_t bytes = mirvanta::models::profile_scratch_bytes(u.size());
            std::vector<std::byte> buffer(bytes);
            std::pmr::monotonic_buffer_resource memory(buffer.data(), buffer.size(), std::pmr::null_memory_resource());
            std::vector<double> out(u.size());
            ProfileCounts counts;
            EXPECT_NO_THROW(profile_magnification(at_rtol, ArrayView(u), ArrayView(std::span<const double>(&c.rho, 1)),
                                                  out.data(), &counts, &memory))
                << "law " << static_cast<int>(law.kind) << " n " << c.count << " rho " << c.rho << " rtol " << c.rtol;
            const std::vector<double> expected = alone(u, c.rho, law, c.rtol);
            for (std::size_t i = 0; i < u.size(); ++i) ASSERT_TRUE(same_bits(out[i], expected[i])) << i;
        }
    }
}

// Events of their own separations and radii, in place, with a NaN, a point source and an
// infinite radius among them.
class Events final : public mirvanta::models::ProfileEvents {
public:
    Events(std::vector<std::vector<double>> u, std::vector<double> rho) : u_(std::move(u)), rho_(std::move(rho)) {}
    std::size_t count() const override { return rho_.size(); }
    std::size_t length() const override { return u_[0].size(); }
    double separations(std::size_t event, double* out) const override {
        std::copy(u_[event].begin(), u_[event].end(), out);
        return rho_[event];
    }
    std::vector<std::vector<double>> u_;
    std::vector<double> rho_;
};

Events some_events(std::size_t count, std::size_t length) {
    std::vector<std::vector<double>> u;
    std::vector<double> rho;
    for (std::size_t e = 0; e < count; ++e) {
        const double radius = 0.005 * static_cast<double>(1 + e % 11);
        const double u0 = 0.1 * radius * static_cast<double>(e % 7);
        u.push_back(trajectory(length, u0, radius * (2.0 + 0.5 * static_cast<double>(e % 5))));
        rho.push_back(e == 3 ? 0.0 : e == 5 ? std::numeric_limits<double>::infinity() : radius);
    }
    if (count > 2 && length > 1) u[2][1] = kNaN;
    return Events(std::move(u), std::move(rho));
}

// Each event is its call alone, to the bit, whatever the number of events and their length (one
// separation each, a curve each, one event); what the events did adds up to what the calls did,
// and the first value that missed rtol is found across events.
TEST(ProfileEvents, EachEventIsItsCallAlone) {
    const BrightnessLaw quadratic{LawKind::quadratic, {0.5, 0.2}, {}, {}};
    for (const auto& [count, length] : {std::pair<std::size_t, std::size_t>{40, 600}, {300, 1}, {1, 900}, {13, 37}}) {
        for (const double rtol : {1e-10, 1e-15}) {
            const Events events = some_events(count, length);
            std::vector<double> out(count * length);
            ProfileCounts counts, expected_counts;
            const ProfileReport report = mirvanta::models::profile_events(events, quadratic, rtol, out.data(), &counts);
            std::size_t unconverged = 0, first = SIZE_MAX;
            for (std::size_t e = 0; e < count; ++e) {
                ProfileReport own;
                const std::vector<double> expected =
                    alone(events.u_[e], events.rho_[e], quadratic, rtol, &expected_counts, &own);
                for (std::size_t i = 0; i < length; ++i) {
                    ASSERT_TRUE(same_bits(out[e * length + i], expected[i])) << "event " << e << " element " << i;
                }
                unconverged += own.unconverged;
                if (own.unconverged != 0 && first == SIZE_MAX) first = e * length + own.first_unconverged;
            }
            EXPECT_EQ(report.unconverged, unconverged);
            EXPECT_EQ(report.first_unconverged, first);
            EXPECT_EQ(rtol < 1e-13, unconverged > 0);
            EXPECT_EQ(std::memcmp(&counts, &expected_counts, sizeof counts), 0);
            if (length >= 600) {
                EXPECT_GT(counts.interpolated, count * length / 4);
            }
        }
    }
}

// A trajectory's events are its rows: the parameters of each row, read through broadcasts (t0
// along the rows, tE repeated), give u(t) = sqrt(u0^2 + ((t - t0)/tE)^2) written by hand.
TEST(ProfileEvents, LightCurvesReadEachRowsParameters) {
    const std::vector<double> t{-3.0, -1.0, 0.0, 0.5, 4.0}, t0{0.0, 1.0, -2.0}, u0{0.1, 0.0, 0.3}, rho{0.0, 0.0, 0.0};
    const double t_e = 2.0;
    const ArrayView times(t.data(), {3, 5}, {0, 1}), starts(t0.data(), {3, 5}, {1, 0});
    const ArrayView impacts(u0.data(), {3, 5}, {1, 0}), crossing(&t_e, {3, 5}, {0, 0}), radii(rho.data(), {3, 5}, {1, 0});
    std::vector<double> out(15);
    const BrightnessLaw uniform{};
    mirvanta::models::light_curves({times, starts, impacts, crossing, radii, 5, true}, uniform, 1e-10, out.data(),
                                   nullptr);
    for (std::size_t e = 0; e < 3; ++e) {
        for (std::size_t i = 0; i < 5; ++i) {
            const double tau = (t[i] - t0[e]) / t_e, u = std::sqrt(u0[e] * u0[e] + tau * tau);
            const double point = (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
            EXPECT_NEAR(out[e * 5 + i] / point, 1.0, 1e-15) << e << " " << i;
        }
    }
}

// Radii in runs: each run of one radius at least interpolant_nodes(rtol) long is the call of that
// radius alone with its separations, to the bit, served by its interpolant; shorter runs and
// single radii are each separation's call alone; the first value that missed rtol is found among
// both. For the uniform disk the runs go to the kernel's lanes, the same bits again.
TEST(ProfileRuns, LongRunsOfOneRadiusAreSourcesOfTheirOwn) {
    for (const BrightnessLaw& law : kLaws) {
        for (const double rtol : {1e-10, 1e-15}) {
            const std::size_t shortest = mirvanta::models::interpolant_nodes(std::max(rtol, 1e-13));
            struct Run {
                std::size_t length;
                double rho;
            };
            const Run runs[] = {{3, 0.02}, {700, 0.05}, {1, 0.3}, {shortest, 0.1}, {shortest - 1, 0.2}, {900, 0.05},
                                {400, 0.0}};
            std::vector<double> u, rho;
            for (const Run& run : runs) {
                const std::vector<double> part = trajectory(run.length, 0.001, 3.0 * std::max(run.rho, 0.01));
                u.insert(u.end(), part.begin(), part.end());
                rho.insert(rho.end(), run.length, run.rho);
            }
            std::vector<double> out(u.size());
            ProfileCounts counts;
            const ProfileReport report = profile_magnification(u, rho, law, rtol, out.data(), &counts);
            std::size_t at = 0, first = SIZE_MAX;
            for (const Run& run : runs) {
                const bool source = run.length >= shortest && law.kind != LawKind::tabulated &&
                                    (run.rho > 0.0 || law.kind == LawKind::uniform);
                const std::vector<double> part(u.begin() + at, u.begin() + at + run.length);
                const std::vector<double> whole = alone(part, run.rho, law, rtol);
                for (std::size_t i = 0; i < run.length; ++i) {
                    const double expected = source ? whole[i] : alone({part[i]}, run.rho, law, rtol)[0];
                    ASSERT_TRUE(same_bits(out[at + i], expected)) << "run of " << run.length << " at " << i;
                }
                ProfileReport own;
                alone(part, run.rho, law, rtol, nullptr, &own);
                if (own.unconverged != 0 && first == SIZE_MAX) first = at + own.first_unconverged;
                at += run.length;
            }
            EXPECT_EQ(report.first_unconverged, first);
            const bool interpolated = law.kind != LawKind::uniform && law.kind != LawKind::tabulated;
            EXPECT_EQ(counts.interpolant_pieces > 0, interpolated);
            EXPECT_EQ(counts.interpolated > 500, interpolated)
                << static_cast<int>(law.kind) << " " << rtol << " " << counts.interpolated;
        }
    }
}

// Equal radii in an array are the call with that radius as a number, to the bit, within a block;
// beyond a block each block has an interpolant of its own, within rtol of the number's.
TEST(ProfileRuns, AnArrayOfOneRadiusIsTheNumber) {
    const BrightnessLaw law{LawKind::quadratic, {0.5, 0.2}, {}, {}};
    for (const std::size_t count : {std::size_t{2000}, mirvanta::models::kProfileBlock + 5000}) {
        const std::vector<double> u = trajectory(count, 0.01, 0.3);
        const std::vector<double> rho(count, 0.1);
        std::vector<double> out(count);
        ProfileCounts counts, number_counts;
        profile_magnification(u, rho, law, 1e-10, out.data(), &counts);
        const std::vector<double> number = alone(u, 0.1, law, 1e-10, &number_counts);
        EXPECT_GE(counts.interpolated, number_counts.interpolated * 99 / 100);
        for (std::size_t i = 0; i < count; ++i) {
            if (count <= mirvanta::models::kProfileBlock) {
                ASSERT_TRUE(same_bits(out[i], number[i])) << i;
            } else {
                ASSERT_NEAR(out[i] / number[i], 1.0, 2e-10) << i;
            }
        }
    }
}

}  // namespace
