// The profile engine (models/engine/profile.hpp) against independent references: mpmath (by parts in
// mpmath's own elliptic integrals, checked there against a 2-D integration of the point-source
// magnification over the disk; tools/gen_profile_reference.py), the linear law of the integrated
// function, the uniform-disk kernel, and the same law written two ways.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "models/kernel/heyrovsky.hpp"
#include "models/source_radii/integrated.hpp"
#include "models/engine/profile.hpp"
#include "models/engine/profile_series.hpp"
#include "models/engine/profile_series_terms.hpp"
#include "models/engine/table_scaling.hpp"
#include "models/kernel/witt_mao.hpp"
#include "numerics/quadrature.hpp"
#include "reference_data.hpp"

namespace {

using mirvanta::models::BrightnessLaw;
using mirvanta::models::LawKind;
using mirvanta::models::ProfileCounts;
using mirvanta::models::ProfileReport;
using mirvanta::models::profile_magnification;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double magnification(double u, double rho, const BrightnessLaw& law, double rtol, ProfileReport* report = nullptr) {
    double out = 0.0;
    const ProfileReport r = profile_magnification(std::span<const double>(&u, 1), std::span<const double>(&rho, 1),
                                                  law, rtol, &out);
    if (report != nullptr) *report = r;
    return out;
}

std::vector<double> curve(const std::vector<double>& u, double rho, const BrightnessLaw& law, double rtol,
                          ProfileCounts* counts = nullptr) {
    std::vector<double> out(u.size());
    profile_magnification(u, std::span<const double>(&rho, 1), law, rtol, out.data(), counts);
    return out;
}

// Whether a call of n separations of one radius is served from the bases' tables, in place of an
// interpolant (the linear and quadratic laws, rho in [0.1, 10], rtol 1e-11 and more).
bool tabulated(const BrightnessLaw& law, double rho, double rtol, std::size_t n) {
    const auto prepared = mirvanta::models::prepare_law(law);
    return mirvanta::models::RoutePlan(prepared, rtol).tabulates(rho, n);
}

LawKind kind_named(const std::string& name) {
    if (name == "linear") return LawKind::linear;
    if (name == "quadratic") return LawKind::quadratic;
    if (name == "square_root") return LawKind::square_root;
    if (name == "logarithmic") return LawKind::logarithmic;
    if (name == "claret") return LawKind::claret;
    return LawKind::power2;
}

std::vector<std::string> data_lines(const std::string& file) {
    std::ifstream in(std::string(MIRVANTA_TEST_DATA) + "/" + file);
    EXPECT_TRUE(in) << file;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
}

// One case of profile_laws.txt: "law c... rho l A", as many coefficients as the line has words
// before the last three.
struct LawCase {
    std::string name, key;
    BrightnessLaw law;
    double rho, l;
    long double expected;
};

LawCase law_case(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    LawCase c;
    c.name = words.at(0);
    c.key = c.name;
    c.law.kind = kind_named(c.name);
    const std::size_t count = words.size() - 4;
    for (std::size_t i = 0; i < count; ++i) {
        c.law.coefficients.at(i) = std::stod(words[1 + i]);
        c.key += " " + words[1 + i];
    }
    c.rho = std::stod(words[count + 1]);
    c.l = std::stod(words[count + 2]);
    c.expected = std::stold(words[count + 3]);
    return c;
}

// Every law at every radius and separation of the reference, one separation a call (the series
// far out, the quadrature elsewhere), at three tolerances, the finest among them.
TEST(ProfileEngine, LawsAgainstMpmath) {
    const auto lines = data_lines("profile_laws.txt");
    ASSERT_GT(lines.size(), 700u);
    std::vector<LawCase> cases;
    for (const std::string& line : lines) cases.push_back(law_case(line));
    for (const double rtol : {1e-10, 1e-6, 1e-13}) {
        std::vector<std::pair<std::string, double>> worst;  // per law and coefficients
        for (const LawCase& c : cases) {
            ProfileReport report;
            const double value = magnification(c.l * c.rho, c.rho, c.law, rtol, &report);
            const double error = static_cast<double>(std::fabs(value / c.expected - 1.0L));
            if (worst.empty() || worst.back().first != c.key) worst.emplace_back(c.key, 0.0);
            worst.back().second = std::max(worst.back().second, error);
            EXPECT_LE(error, rtol) << c.key << " rho " << c.rho << " l " << c.l << " rtol " << rtol << " got " << value;
            // Below 1e-13 every value is reported; at 1e-13 those the quadrature reaches are not.
            if (rtol > 1e-13) {
                EXPECT_EQ(report.unconverged, 0u) << c.key << " rho " << c.rho << " l " << c.l;
            }
        }
        for (const auto& [key, error] : worst) {
            std::printf("laws against mpmath, rtol %g, %s: worst relative error %.2e\n", rtol, key.c_str(), error);
        }
    }
}

// The tabulated profiles: within 1e-10 of the exact integral of the piecewise-linear profile,
// its centre, steps, ends and a ring that leaves the centre dark included.
TEST(ProfileEngine, TabulatedAgainstMpmath) {
    const auto lines = data_lines("profile_tabulated.txt");
    std::vector<std::vector<double>> radii, brightness;
    double worst = 0.0;
    std::size_t cases = 0;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        if (line.rfind("table", 0) == 0) {
            std::string word;
            std::size_t k;
            in >> word >> k;
            radii.resize(k + 1);
            brightness.resize(k + 1);
            for (double r, b; in >> r >> b;) {
                radii[k].push_back(r);
                brightness[k].push_back(b);
            }
            continue;
        }
        std::size_t k;
        double rho, l;
        long double expected;
        in >> k >> rho >> l >> expected;
        const BrightnessLaw law{LawKind::tabulated, {}, radii[k], brightness[k]};
        const double value = magnification(l * rho, rho, law, 1e-10);
        const double error = static_cast<double>(std::fabs(value / expected - 1.0L));
        worst = std::max(worst, error);
        EXPECT_LE(error, 1e-10) << line << " got " << value;
        ++cases;
    }
    EXPECT_GT(cases, 70u);
    std::printf("tabulated against mpmath: worst relative error %.2e over %zu cases\n", worst, cases);
}

// Radii added on a tabulated profile's own lines (a narrow segment among them) describe the same
// brightness: the magnification does not move beyond rtol, wherever the lens is, the bend at the
// added radii and between them included.
TEST(ProfileEngine, TabulatedRadiiOnTheLine) {
    const std::vector<double> r1{0.0, 0.6, 1.0}, b1{1.0, 0.7, 0.2};
    std::vector<double> r2{0.0}, b2{1.0};
    for (const double x : {0.1, 0.25, 0.3, 0.3 + 1e-9, 0.45, 0.6, 0.75, 0.8, 0.95, 0.999, 1.0}) {
        r2.push_back(x);
        b2.push_back(x <= 0.6 ? 1.0 - 0.5 * x : 0.7 - 1.25 * (x - 0.6));
    }
    const BrightnessLaw few{LawKind::tabulated, {}, r1, b1}, many{LawKind::tabulated, {}, r2, b2};
    for (const double rho : {1e-3, 0.1, 1.0, 30.0}) {
        for (const double l : {0.0, 0.1, 0.3, 0.3 + 5e-10, 0.6, 0.77, 0.999, 1.0, 1.01, 2.0}) {
            const double a = magnification(l * rho, rho, few, 1e-12), c = magnification(l * rho, rho, many, 1e-12);
            EXPECT_NEAR(a / c, 1.0, 2e-12) << "rho " << rho << " l " << l;
        }
    }
}

// The by-parts identity: the engine's I(1) F(1) - int F dI over uniform disks equals the direct
// integral of the brightness over thin rings, int_0^1 2x I(x) A_ring(x) dx / N, with A_ring the
// ring kernel (heyrovsky_magnification, the mean of the point source over a ring: another closed
// form) and the double-exponential rule split where the ring passes through the lens.
TEST(ProfileEngine, ByPartsIsTheIntegralOverRings) {
    const BrightnessLaw laws[] = {{LawKind::quadratic, {0.5, 0.2}, {}, {}}, {LawKind::square_root, {0.3, 0.4}, {}, {}},
                                  {LawKind::power2, {0.6, 0.7}, {}, {}}};
    double worst = 0.0;
    for (const BrightnessLaw& law : laws) {
        const auto prepared = mirvanta::models::prepare_law(law);
        for (const double rho : {1e-3, 0.1, 1.0}) {
            for (const double l : {0.0, 0.35, 0.8, 1.3, 2.5}) {
                const auto weighted_ring = [&](double x) {
                    const double mu = std::sqrt((1.0 - x) * (1.0 + x));
                    const double p = law.coefficients[0], q = law.coefficients[1];
                    double brightness = 1.0;
                    switch (law.kind) {
                        case LawKind::quadratic: brightness = 1.0 - p * (1.0 - mu) - q * (1.0 - mu) * (1.0 - mu); break;
                        case LawKind::square_root: brightness = 1.0 - p * (1.0 - mu) - q * (1.0 - std::sqrt(mu)); break;
                        default: brightness = 1.0 - p * (1.0 - std::pow(mu, q)); break;
                    }
                    const auto ring = mirvanta::models::heyrovsky_magnification(l, x, 1.0, rho);
                    return ring ? (2.0 * x) * brightness * ring.value() : 0.0;
                };
                const double cut[] = {l};
                const double rings = mirvanta::numerics::integrate_in_pieces(
                    weighted_ring, 0.0, 1.0, std::span<const double>(cut, l > 0.0 && l < 1.0 ? 1 : 0), 1e-16);
                const double direct = rings / prepared.flux;
                const double value = magnification(l * rho, rho, law, 1e-12);
                worst = std::max(worst, std::fabs(value / direct - 1.0));
                EXPECT_NEAR(value / direct, 1.0, 1e-11) << "rho " << rho << " l " << l;
            }
        }
    }
    std::printf("by parts against the integral over rings: worst %.1e\n", worst);
}

// Linear limb darkening with c = 0.6 is what integrated_witt_mao_magnification computes, by the
// substitution t = sqrt(1 - x^2) and its own quadrature: within 1e-12 of it.
TEST(ProfileEngine, LinearLawIsTheIntegratedFunction) {
    const BrightnessLaw law{LawKind::linear, {0.6, 0.0}, {}, {}};
    double worst = 0.0;
    for (const double rho : {1e-4, 1e-3, 0.01, 0.1, 0.5, 1.0}) {
        for (const double l : {0.0, 1e-6, 0.02, 0.3, 0.7, 0.95, 0.999, 1.0, 1.001, 1.05, 1.5, 3.0, 10.0, 100.0}) {
            const double expected = mirvanta::models::integrated_witt_mao_magnification_at(l, rho);
            const double value = magnification(l * rho, rho, law, 1e-12);
            worst = std::max(worst, std::fabs(value / expected - 1.0));
            EXPECT_NEAR(value / expected, 1.0, 1e-12) << "rho " << rho << " l " << l;
        }
    }
    std::printf("linear 0.6 against integrated_witt_mao_magnification: worst %.2e\n", worst);
}

// The same brightness written as two laws: power2 with alpha = 2 is 1 - c (1 - mu^2), which is the
// quadratic law with a = 2c, b = -c; power2 with alpha = 1 is the linear law; a tabulated
// constant is the uniform disk. Each pair goes through different terms, moments and weights.
TEST(ProfileEngine, OneBrightnessTwoLaws) {
    const std::vector<double> r{0.0, 1.0}, b{0.7, 0.7}, single{0.4}, one{2.0};
    const struct {
        BrightnessLaw first, second;
    } pairs[] = {
        {{LawKind::power2, {0.3, 2.0}, {}, {}}, {LawKind::quadratic, {0.6, -0.3}, {}, {}}},
        {{LawKind::power2, {0.7, 1.0}, {}, {}}, {LawKind::linear, {0.7, 0.0}, {}, {}}},
        {{LawKind::tabulated, {}, r, b}, {LawKind::uniform, {0.0, 0.0}, {}, {}}},
        {{LawKind::tabulated, {}, single, one}, {LawKind::uniform, {0.0, 0.0}, {}, {}}},
    };
    for (const auto& pair : pairs) {
        for (const double rho : {1e-3, 0.1, 2.0}) {
            for (const double l : {0.0, 0.4, 0.99, 1.0, 1.02, 1.7, 4.0, 50.0}) {
                const double a = magnification(l * rho, rho, pair.first, 1e-12);
                const double c = magnification(l * rho, rho, pair.second, 1e-12);
                EXPECT_NEAR(a / c, 1.0, 2e-12) << "rho " << rho << " l " << l;
            }
        }
    }
}

// The uniform disk through the engine's call against mpmath (tests/cpp/data/disk_*.txt: rho 1e-10
// to 100 and beyond, through the limb and far away): the uniform law within the kernel's worst
// error, the same bits one separation a call, many of one radius (the kernel's lanes, on the pool)
// and a radius per separation; and a table of constant brightness, which the engine serves as a
// tabulated profile (its quadrature, and the far-field series with its moment factors), within
// rtol 1e-12 of the reference.
TEST(ProfileEngine, UniformDiskThroughTheEngineAgainstMpmath) {
    const BrightnessLaw uniform{};
    const std::vector<double> radii{0.0, 1.0}, brightness{0.7, 0.7};
    const BrightnessLaw constant{LawKind::tabulated, {}, radii, brightness};
    double worst_uniform = 0.0, worst_constant = 0.0;
    for (const char* family : {"disk_limb", "disk_away"}) {
        const auto cases = mirvanta::testing::load_reference(family);
        std::vector<double> u, rho;
        for (const auto& c : cases) {
            u.push_back(c.inputs[0]);
            rho.push_back(c.inputs[1]);
        }
        std::vector<double> per_separation(u.size());
        profile_magnification(u, rho, uniform, 1e-10, per_separation.data());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const double one = magnification(u[i], rho[i], uniform, 1e-10);
            const std::vector<double> together = curve(std::vector<double>(16, u[i]), rho[i], uniform, 1e-10);
            const double error = static_cast<double>(std::fabs(one / cases[i].expected - 1.0L));
            worst_uniform = std::max(worst_uniform, error);
            EXPECT_LE(error, mirvanta::models::kWorstDiskError) << cases[i].line;
            EXPECT_EQ(per_separation[i], one) << cases[i].line;
            for (const double value : together) EXPECT_EQ(value, one) << cases[i].line;
            ProfileReport report;
            const double table = magnification(u[i], rho[i], constant, 1e-12, &report);
            const double table_error = static_cast<double>(std::fabs(table / cases[i].expected - 1.0L));
            worst_constant = std::max(worst_constant, table_error);
            EXPECT_LE(table_error, 1e-12 + mirvanta::models::kWorstDiskError) << cases[i].line;
            EXPECT_EQ(report.unconverged, 0u) << cases[i].line;
        }
    }
    std::printf("uniform disk through the engine against mpmath: uniform law %.2e, constant table %.2e\n",
                worst_uniform, worst_constant);
}

// Values on both sides of each hand-off agree to rtol, in calls that build the interpolant (many
// separations of one source): at the interpolant's first bound, s = 1/32 from the limb on either
// side (the interpolant above it, the quadrature below: models/engine/profile_interpolant.cpp),
// and at the series' reach (the series beyond it, the interpolant within). Each probe is added
// to a call of 600 separations that build the interpolant's pieces; the counts of that call
// against those without the probe say which route served it. Then through the limb, where the
// quadrature splits at the disk through the lens, one separation a call. Where the bases' tables
// serve the call in place of the interpolant, the probes are theirs, and the hand-off to the
// series.
TEST(ProfileEngine, SwitchesAreContinuous) {
    const BrightnessLaw laws[] = {{LawKind::quadratic, {0.5, 0.2}, {}, {}}, {LawKind::square_root, {0.3, 0.4}, {}, {}},
                                  {LawKind::power2, {0.6, 0.7}, {}, {}}, {LawKind::logarithmic, {0.6, -0.4}, {}, {}},
                                  {LawKind::claret, {0.6, -0.3, 0.9, -0.45}, {}, {}}};
    constexpr double kFirstBound = 1.0 / 32.0;
    for (const BrightnessLaw& law : laws) {
        for (const double rtol : {1e-10, 1e-6}) {
            const auto plan = mirvanta::models::plan_series(mirvanta::models::prepare_law(law), rtol);
            for (const double rho : {1e-3, 0.1, 3.0}) {
                // The series serves (rho/u)^2 <= widest; the interpolant's variable s is
                // sqrt(1 - (u/rho)^2) inside and sqrt(u/rho - 1) outside.
                const double far = rho / std::sqrt(plan.widest);
                const auto inside = [&](double s) { return rho * std::sqrt((1.0 - s) * (1.0 + s)); };
                const auto outside = [&](double s) { return rho * (1.0 + s * s); };
                // 300 separations a side, log-spaced in s from half the first bound to the ends.
                std::vector<double> base;
                const double outer_end = std::sqrt(far / rho - 1.0);
                for (int i = 0; i < 300; ++i) {
                    const double f = i / 299.0;
                    base.push_back(inside(0.5 * kFirstBound * std::pow(2.0 / kFirstBound, f)));
                    base.push_back(outside(0.5 * kFirstBound * std::pow(2.0 * outer_end / kFirstBound, f)));
                }
                ProfileCounts without;
                curve(base, rho, law, rtol, &without);
                const bool tables = tabulated(law, rho, rtol, base.size() + 1);
                const auto near = [&](const ProfileCounts& c) { return tables ? c.tabulated : c.interpolated; };
                const auto next_to_limb = [&](const ProfileCounts& c) { return tables ? c.tabulated : c.quadrature; };
                const auto served = [&](double probe, ProfileCounts* counts) {
                    std::vector<double> u = base;
                    u.push_back(probe);
                    return curve(u, rho, law, rtol, counts).back();
                };
                char where[64];
                std::snprintf(where, sizeof where, "rho %g rtol %g", rho, rtol);
                for (const bool inner : {true, false}) {
                    const auto at = [&](double s) { return inner ? inside(s) : outside(s); };
                    ProfileCounts above, below;
                    const double interpolated = served(at(kFirstBound * (1.0 + 1e-10)), &above);
                    const double quadrature = served(at(kFirstBound * (1.0 - 1e-10)), &below);
                    EXPECT_EQ(near(above), near(without) + 1) << where;
                    EXPECT_EQ(next_to_limb(below), next_to_limb(without) + 1) << where;
                    EXPECT_NEAR(interpolated / quadrature, 1.0, rtol) << "first bound, inner " << inner << ", " << where;
                }
                ProfileCounts beyond, within;
                const double reach = tables ? 2.0 * rho : far;  // the tables come before the series
                const double series = served(reach * (1.0 + 1e-12), &beyond);
                const double interpolated = served(reach * (1.0 - 1e-12), &within);
                EXPECT_EQ(beyond.series, without.series + 1) << where;
                EXPECT_EQ(near(within), near(without) + 1) << where;
                EXPECT_NEAR(series / interpolated, 1.0, rtol) << "series' reach, " << where;
                // Through the limb.
                const double in = magnification(rho * (1.0 - 1e-13), rho, law, rtol);
                const double on = magnification(rho, rho, law, rtol);
                const double out = magnification(rho * (1.0 + 1e-13), rho, law, rtol);
                EXPECT_NEAR(in / on, 1.0, 2.0 * rtol) << where;
                EXPECT_NEAR(out / on, 1.0, 2.0 * rtol) << where;
            }
        }
    }
}

// A light curve of many epochs (the interpolant's case) agrees with the same epochs one at a
// time (quadrature or series) to rtol, through the limb and the pieces' ends; the counts say that
// the interpolant served most epochs near the source and the series those far from it. The
// square-root law's wide pieces fail at rtol 1e-10 and are halved: both routes are taken. Where the
// bases' tables serve the call (the quadratic law at rho = 1), they take the interpolant's place.
TEST(ProfileEngine, InterpolantAgreesWithQuadrature) {
    const BrightnessLaw laws[] = {{LawKind::quadratic, {0.5, 0.2}, {}, {}},
                                  {LawKind::power2, {0.4, 2.5}, {}, {}},
                                  {LawKind::square_root, {0.3, 0.4}, {}, {}},
                                  {LawKind::logarithmic, {0.6, -0.4}, {}, {}},
                                  {LawKind::claret, {0.6, -0.3, 0.9, -0.45}, {}, {}}};
    for (const BrightnessLaw& law : laws) {
        for (const double rtol : {1e-10, 1e-6}) {
            for (const double rho : {0.05, 1.0}) {
                // 3000 epochs within 2.5 rho of the source, the lens passing 0.03 rho from its centre
                std::vector<double> u(3000);
                for (std::size_t i = 0; i < u.size(); ++i) {
                    const double t = -2.5 + 5.0 * static_cast<double>(i) / static_cast<double>(u.size() - 1);
                    u[i] = rho * std::hypot(0.03, t);
                }
                ProfileCounts counts;
                const std::vector<double> batch = curve(u, rho, law, rtol, &counts);
                if (tabulated(law, rho, rtol, u.size())) {
                    EXPECT_GT(counts.tabulated, 10 * counts.quadrature) << "rho " << rho;
                    EXPECT_EQ(counts.interpolant_pieces, 0u);
                } else {
                    EXPECT_GT(counts.interpolated, 10 * counts.quadrature) << "rho " << rho;
                    EXPECT_GT(counts.interpolant_pieces, 3u);
                }
                double worst = 0.0;
                for (std::size_t i = 0; i < u.size(); i += 7) {
                    const double single = magnification(u[i], rho, law, rtol * 1e-2);
                    worst = std::max(worst, std::fabs(batch[i] / single - 1.0));
                    EXPECT_NEAR(batch[i] / single, 1.0, rtol) << "u " << u[i] << " rho " << rho << " rtol " << rtol;
                }
                std::printf("interpolated curve, rho %g rtol %g: worst %.1e against single epochs\n", rho, rtol, worst);
            }
        }
    }
}

// The counts of a call say how each separation was served and what it cost: with the interpolant
// serving most of a call, the separations next to the limb (s < 1/32, which it leaves to the
// quadrature) cost what each costs alone, and the far ones are the series'. (A radius below the
// bases' tables, which would serve this law from 0.1.)
TEST(ProfileEngine, CountsAddUp) {
    const BrightnessLaw law{LawKind::quadratic, {0.5, 0.2}, {}, {}};
    const double rho = 0.05, rtol = 1e-10;
    std::vector<double> u;
    for (int i = 0; i < 600; ++i) u.push_back(rho * (0.02 + 0.9 * i / 599.0));
    const std::vector<double> limb{rho * (1.0 - 1e-4), rho, rho * (1.0 + 1e-4), rho * (1.0 + 1e-3)};
    u.insert(u.end(), limb.begin(), limb.end());
    for (const double l : {10.0, 30.0, 100.0}) u.push_back(l * rho);
    ProfileCounts counts;
    curve(u, rho, law, rtol, &counts);
    EXPECT_EQ(counts.interpolated, 600u);
    EXPECT_EQ(counts.quadrature, limb.size());
    EXPECT_EQ(counts.series, 3u);
    EXPECT_EQ(counts.disk_evaluations_interpolated, 600u);  // the uniform disk's share, once each
    std::size_t alone = 0;
    for (const double x : limb) {
        ProfileCounts one;
        curve(std::vector<double>{x}, rho, law, rtol, &one);
        EXPECT_EQ(one.quadrature, 1u);
        alone += one.disk_evaluations_quadrature;
    }
    EXPECT_GT(alone, 0u);
    EXPECT_EQ(counts.disk_evaluations_quadrature, alone);
}

// Pieces of the quadrature that ended next to a singularity converged slowly, and rules that
// agreed there by chance ended them early, reported converged: the lens just outside the limb
// (the piece from the centre ended acosh(x*) from the bend), a limb segment whose power carried the
// bend close, the lens on the limb of a large source (x* +- 2i/rho next to the limb segment), each
// 4.6 to 15 times rtol off. Against mpmath (tools/gen_profile_reference.py's law_by_parts, 40
// digits).
TEST(ProfileEngine, NoPieceEndsNextToASingularity) {
    const struct {
        double c, alpha, rho, u, mpmath;
    } cases[] = {
        {0.6, 0.7, 3.0, 1.00029 * 3.0, 1.082784046597501935},  // was 4.6e-6 off
        {0.5555249719479322, 0.9423985546798562, 0.047620734703039805, 0.04288483960338645, 30.503132867570579},
        {0.1079099105961675, 1.2353910659145393, 2.5307827664391787, 2.5307827664391787, 1.1277313112392226},
    };
    for (const auto& c : cases) {
        const BrightnessLaw law{LawKind::power2, {c.c, c.alpha}, {}, {}};
        ProfileReport report;
        const double value = magnification(c.u, c.rho, law, 1e-6, &report);
        EXPECT_EQ(report.unconverged, 0u);
        EXPECT_LE(std::fabs(value / c.mpmath - 1.0), 1e-6) << c.alpha << " " << c.rho << " " << c.u;
    }
    // The lens on the limb of a Claret law (limb segment in t^2, the bend's t^k ln t there): its
    // order-8 and order-4 rules agreed by chance, 1.8e-5 off at rtol 1e-4 to 1e-6.
    const BrightnessLaw claret{LawKind::claret, {0.7795138444602574, 0.57352174957618196, 0.60697372486282353,
                                                 -1.2041851862521016}, {}, {}};
    for (const double rtol : {1e-4, 1e-5, 1e-6}) {
        const double rho = 0.0071146236513795818;
        EXPECT_LE(std::fabs(magnification(rho, rho, claret, rtol) / 174.83274508643107647 - 1.0), rtol) << rtol;
    }
    // The lens on the limb with t^0.29 left there (alpha = 0.16): the order-8 and order-4 rules
    // of the limb segment agreed by chance, 1.4e-4 off. mpmath's own rule does not converge on
    // that integrand; the reference is the engine's value between the lens 1e-9 rho inside and
    // outside the limb (other segments: the lens at the limb is a case of its own), where the
    // magnification changes by 1.5e-9.
    const BrightnessLaw law{LawKind::power2, {0.69703595229130455, 0.16111983496280011}, {}, {}};
    const double rho = 0.078437512799339373;
    const double between = 0.5 * (magnification(rho * (1.0 - 1e-9), rho, law, 1e-13) +
                                  magnification(rho * (1.0 + 1e-9), rho, law, 1e-13));
    for (const double rtol : {1e-6, 1e-8, 1e-10}) {
        EXPECT_LE(std::fabs(magnification(rho, rho, law, rtol) / between - 1.0), rtol) << rtol;
    }
}

// What cannot be reached is reported, not hidden: below the engine's finest tolerance every
// separation that needs more than the kernel is reported, from the first index on, with an
// estimate at least that tolerance, and the values are still the best estimates (within 1e-12 of
// those at 1e-13). The point source and NaN need nothing and are not counted.
TEST(ProfileEngine, UnconvergedIsReported) {
    const BrightnessLaw law{LawKind::square_root, {0.3, 0.4}, {}, {}};
    // rho = 0.1: a NaN, then inside, at and next to the limb, and far (the series)
    const std::vector<double> u{kNaN, 0.05, 0.099, 0.1, 0.2, 3.0};
    std::vector<double> out(u.size());
    const double rho = 0.1;
    const ProfileReport report = profile_magnification(u, std::span<const double>(&rho, 1), law, 1e-18, out.data());
    EXPECT_EQ(report.unconverged, u.size() - 1);
    EXPECT_EQ(report.first_unconverged, 1u);
    EXPECT_GE(report.worst_estimate, mirvanta::models::kFinestTolerance);
    for (std::size_t i = 1; i < u.size(); ++i) {
        EXPECT_NEAR(out[i] / magnification(u[i], rho, law, 1e-13), 1.0, 1e-12) << u[i];
    }
    ProfileReport fine;
    magnification(0.05, rho, law, 1e-10, &fine);
    EXPECT_EQ(fine.unconverged, 0u);
    EXPECT_EQ(fine.first_unconverged, SIZE_MAX);
}

// A table computed as it is, without the scaling of models/engine/table_scaling.hpp: its brightness
// ends at 1e-300 of the radius, its flux underflows to 0, and every value is NaN. Each is reported
// as not reaching rtol, with NaN for the worst estimate (it said 0, from max(0, NaN), and the
// series' NaN values counted as reached), on one separation and on many.
TEST(ProfileEngine, ANaNValueIsReportedAsNaN) {
    const std::vector<double> radii{0.0, 1e-300}, brightness{1.0, 1.0};
    const BrightnessLaw law{LawKind::tabulated, {}, radii, brightness};
    ProfileReport report;
    EXPECT_TRUE(std::isnan(magnification(0.05, 0.05, law, 1e-10, &report)));
    EXPECT_EQ(report.unconverged, 1u);
    EXPECT_TRUE(std::isnan(report.worst_estimate));
    const std::vector<double> u{0.05, 0.01, 2.0, 0.3};
    std::vector<double> out(u.size());
    const double rho = 0.05;
    report = profile_magnification(u, std::span<const double>(&rho, 1), law, 1e-10, out.data());
    for (const double value : out) EXPECT_TRUE(std::isnan(value));
    EXPECT_EQ(report.unconverged, u.size());  // the quadrature's two and the series' two
    EXPECT_EQ(report.first_unconverged, 0u);
    EXPECT_TRUE(std::isnan(report.worst_estimate));
}

// The scaling of a table: the brightness by the power of two that puts its largest value in
// [1, 2), exactly; the radii, when the brightness ends below kSmallestSupport, by the power of
// two that puts that radius in [1/2, 1), the dark entries beyond it dropped, and the source radius
// by its inverse. A table whose brightness ends at kSmallestSupport or beyond keeps its radii.
TEST(TableScaling, PowersOfTwoOnly) {
    using mirvanta::models::kSmallestSupport;
    using mirvanta::models::scale_table;
    const std::vector<double> plain_radii{0.0, 0.5, 1.0}, plain{3.0, 2.0, 0.0};
    auto scaled = scale_table(plain_radii, plain);
    EXPECT_EQ(scaled.radii, plain_radii);
    EXPECT_EQ(scaled.brightness, (std::vector<double>{1.5, 1.0, 0.0}));
    EXPECT_EQ(scaled.source_radius_factor, 1.0);
    const std::vector<double> subnormal{5e-324, 1e-320, 0.0};
    scaled = scale_table(plain_radii, subnormal);
    EXPECT_EQ(scaled.brightness, (std::vector<double>{std::ldexp(5e-324, 1064), std::ldexp(1e-320, 1064), 0.0}));
    EXPECT_GE(scaled.brightness[1], 1.0);
    EXPECT_LT(scaled.brightness[1], 2.0);
    const std::vector<double> huge{1.7e308, 1e308, 1e-300};
    scaled = scale_table(plain_radii, huge);
    EXPECT_EQ(scaled.brightness, (std::vector<double>{std::ldexp(1.7e308, -1023), std::ldexp(1e308, -1023), 0.0}));

    const std::vector<double> at_threshold{0.0, kSmallestSupport}, ones{1.0, 1.0};
    EXPECT_EQ(scale_table(at_threshold, ones).radii, at_threshold);
    const std::vector<double> tiny{0.0, 0x1p-300 * 0.75, 0x1p-300 * 1.5, 0.5, 1.0}, dark_beyond{2.0, 1.0, 0.0, 0.0, 0.0};
    scaled = scale_table(tiny, dark_beyond);
    EXPECT_EQ(scaled.radii, (std::vector<double>{0.0, 0.375, 0.75}));
    EXPECT_EQ(scaled.brightness, (std::vector<double>{1.0, 0.5, 0.0}));
    EXPECT_EQ(scaled.source_radius_factor, 0x1p-299);
    const std::vector<double> step{0.0, 1e-200, 1e-200}, step_brightness{1.0, 1.0, 0.0};  // a step down to 0
    scaled = scale_table(step, step_brightness);
    EXPECT_EQ(scaled.radii.size(), 3u);
    EXPECT_EQ(scaled.radii[1] * scaled.source_radius_factor, 1e-200);
}

// NaN gives NaN; a point source (rho = 0) its magnification; an infinite separation or source 1;
// the results land in place when `out` is the separations' own storage, and a radius per
// separation works as one radius for all.
TEST(ProfileEngine, SpecialInputs) {
    const BrightnessLaw law{LawKind::quadratic, {0.5, 0.2}, {}, {}};
    EXPECT_TRUE(std::isnan(magnification(kNaN, 0.1, law, 1e-10)));
    EXPECT_TRUE(std::isnan(magnification(0.1, kNaN, law, 1e-10)));
    EXPECT_EQ(magnification(kInf, 0.1, law, 1e-10), 1.0);
    EXPECT_EQ(magnification(0.3, kInf, law, 1e-10), 1.0);
    EXPECT_EQ(magnification(kInf, 0.0, law, 1e-10), 1.0);
    EXPECT_EQ(magnification(1.0, 0.0, law, 1e-10), 3.0 / std::sqrt(5.0));
    EXPECT_EQ(magnification(0.0, 0.0, law, 1e-10), kInf);
    // u = 0: the lens at the centre, sqrt(rho^2 + 4)/rho for the uniform disk; finite and above it
    // for a source brighter at its centre.
    const double centre = magnification(0.0, 0.1, law, 1e-10);
    EXPECT_GT(centre, std::sqrt(4.01) / 0.1);
    EXPECT_TRUE(std::isfinite(centre));

    std::vector<double> u{0.0, 0.05, 0.1, 0.3, kNaN, 2.0, kInf};
    const std::vector<double> rho{0.1, 0.1, 0.1, 0.1, 0.1, 0.0, 0.1};
    std::vector<double> expected(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) expected[i] = magnification(u[i], rho[i], law, 1e-10);
    profile_magnification(u, rho, law, 1e-10, u.data());  // in place
    for (std::size_t i = 0; i < u.size(); ++i) {
        if (std::isnan(expected[i])) {
            EXPECT_TRUE(std::isnan(u[i]));
        } else {
            EXPECT_EQ(u[i], expected[i]) << i;
        }
    }
    std::vector<double> none;
    EXPECT_EQ(profile_magnification(none, std::span<const double>(rho.data(), 1), law, 1e-10, nullptr).unconverged, 0u);
    // Radii that do not match the separations are the caller's fault, reported, not read past.
    EXPECT_THROW(profile_magnification(none, rho, law, 1e-10, nullptr), mirvanta::Panic);
}

// Every law's flux against its closed form by hand, and its moment factors (which scale the
// far-field series' terms) against the double-exponential quadrature of
// int_0^1 2 x^(2k+1) I dx in x = sin(theta), a different rule and variable than the engine's
// beta-function recurrence.
TEST(ProfileEngine, LawFluxesAndMoments) {
    const struct {
        BrightnessLaw law;
        double flux;
    } cases[] = {
        {{LawKind::linear, {0.6, 0.0}, {}, {}}, 1.0 - 0.6 / 3.0},
        {{LawKind::quadratic, {0.5, 0.2}, {}, {}}, 1.0 - 0.5 / 3.0 - 0.2 / 6.0},
        {{LawKind::square_root, {0.3, 0.4}, {}, {}}, 1.0 - 0.3 / 3.0 - 0.4 / 5.0},
        {{LawKind::power2, {0.6, 0.7}, {}, {}}, 1.0 - 0.6 * 0.7 / 2.7},
        // int_0^1 2 x mu ln(mu) dx = -2/9; int_0^1 2 x mu^(k/2) dx = 4/(k + 4)
        {{LawKind::logarithmic, {0.6, -0.4}, {}, {}}, 1.0 - 0.6 / 3.0 - 0.4 * 2.0 / 9.0},
        {{LawKind::claret, {0.6, -0.3, 0.9, -0.45}, {}, {}}, 1.0 - 0.6 / 5.0 + 0.3 * 2.0 / 6.0 - 0.9 * 3.0 / 7.0 +
                                                                 0.45 * 4.0 / 8.0},
    };
    for (const auto& c : cases) {
        const auto prepared = mirvanta::models::prepare_law(c.law);
        EXPECT_NEAR(prepared.flux, c.flux, 4e-16);
        for (std::size_t k = 1; k <= mirvanta::models::kMostMoments; ++k) {
            const auto weighted = [&](double theta) {
                const double x = std::sin(theta), mu = std::cos(theta);
                double brightness = 1.0;
                const double p = c.law.coefficients[0], q = c.law.coefficients[1];
                const auto& a = c.law.coefficients;
                switch (c.law.kind) {
                    case LawKind::logarithmic: brightness = 1.0 - p * (1.0 - mu) - q * mu * std::log(mu); break;
                    case LawKind::claret:
                        brightness = 1.0 - a[0] * (1.0 - std::sqrt(mu)) - a[1] * (1.0 - mu) -
                                     a[2] * (1.0 - mu * std::sqrt(mu)) - a[3] * (1.0 - mu * mu);
                        break;
                    case LawKind::linear: brightness = 1.0 - p * (1.0 - mu); break;
                    case LawKind::quadratic: brightness = 1.0 - p * (1.0 - mu) - q * (1.0 - mu) * (1.0 - mu); break;
                    case LawKind::square_root: brightness = 1.0 - p * (1.0 - mu) - q * (1.0 - std::sqrt(mu)); break;
                    default: brightness = 1.0 - p * (1.0 - std::pow(mu, q)); break;
                }
                return 2.0 * std::pow(x, 2.0 * static_cast<double>(k) + 1.0) * mu * brightness;
            };
            const double integral =
                mirvanta::numerics::double_exponential_integrate(weighted, 0.0, 1.5707963267948966, 1e-16).integral;
            const double expected = static_cast<double>(k + 1) * integral / c.flux;
            EXPECT_NEAR(prepared.moment_factor[k] / expected, 1.0, 1e-12) << "k " << k;
        }
    }
}

// Over sources from 1e-300 to 1e300 Einstein radii and separations from 0 to 1e300, for every
// law, one at a time and as a curve: a point lens magnifies, so every result is finite and at
// least 1 (to rounding), and nothing stops short of the tolerance.
TEST(ProfileEngine, ExtremeSourcesAndSeparations) {
    const std::vector<double> r{0.0, 0.5, 0.5, 1.0}, b{1.0, 0.8, 0.4, 0.3};
    const BrightnessLaw laws[] = {{LawKind::linear, {0.9, 0.0}, {}, {}},
                                  {LawKind::square_root, {0.2, 0.7}, {}, {}},
                                  {LawKind::power2, {0.8, 0.2}, {}, {}},
                                  {LawKind::tabulated, {}, r, b}};
    for (const BrightnessLaw& law : laws) {
        for (const double rho : {1e-300, 1e-150, 1e-8, 3.0, 1e8, 1e150, 1e300}) {
            std::vector<double> u;
            for (const double l : {0.0, 1e-300, 1e-9, 0.5, 1.0 - 1e-15, 1.0, 1.0 + 1e-15, 2.0, 1e6}) {
                u.push_back(l * rho);
            }
            u.push_back(1e300);
            std::vector<double> curve_values(u.size());
            const ProfileReport report =
                profile_magnification(u, std::span<const double>(&rho, 1), law, 1e-10, curve_values.data());
            EXPECT_EQ(report.unconverged, 0u) << "rho " << rho;
            for (std::size_t i = 0; i < u.size(); ++i) {
                const double single = magnification(u[i], rho, law, 1e-10);
                EXPECT_TRUE(std::isfinite(single) && single >= 1.0 - 1e-13)
                    << "rho " << rho << " u " << u[i] << " " << single;
                EXPECT_NEAR(curve_values[i] / single, 1.0, 1e-10) << "rho " << rho << " u " << u[i];
            }
        }
    }
}

// The far-field series term by term, against mpmath (profile_laws.txt: every law, rho 1e-6 to 100,
// the lens 1.6, 2.2 and 5 source radii off, where the series serves): cut after K terms (the
// moment factors beyond K set to 0, which ends the sum there), it must lie within the bound of
// the terms left out, c_(K+1) m_(K+1) X^(K+1) / (1 - X) of the point source (X = (rho/u)^2; each
// term's bound proved by tools/derive_profile_series.py), for every K from 1 to 23, all the series
// takes. A wrong coefficient or moment factor of term k moves every cut from k on by that term's
// error, which the later bounds (down to 1e-13 of the value at 1.6 source radii) leave no room
// for; and at 1.6 source radii five terms are 1e-6 off, so the later terms are what is checked.
TEST(ProfileEngine, SeriesTermByTermAgainstMpmath) {
    namespace tables = mirvanta::models::tables;
    constexpr std::size_t kTerms = mirvanta::models::kMostSeriesTerms;
    std::size_t cases = 0;
    double five_terms_off = 0.0;  // the worst error of five terms at 1.6 source radii
    for (const std::string& line : data_lines("profile_laws.txt")) {
        const LawCase c = law_case(line);
        if (c.l != 1.6 && c.l != 2.2 && c.l != 5.0) continue;
        const auto prepared = mirvanta::models::prepare_law(c.law);
        const double u = c.l * c.rho, x2 = 1.0 / (c.l * c.l);
        const double point = (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
        for (std::size_t cut = 1; cut <= kTerms; ++cut) {
            auto plan = mirvanta::models::plan_series(prepared, 1e-10);
            plan.widest = 1.0;
            plan.budget = 0.0;  // no term is left out for the tolerance's sake
            for (std::size_t k = cut + 1; k < plan.factor.size(); ++k) plan.factor[k] = 0.0;
            double value = 0.0;
            ASSERT_TRUE(mirvanta::models::profile_series(u, c.rho, plan, &value));
            const double error = static_cast<double>(std::fabs(value / c.expected - 1.0L));
            // The terms left out (kProfileSeriesBounds[k - 1] is term k's), relative to the value.
            const double left_out = tables::kProfileSeriesBounds[cut] * prepared.moment_factor[cut + 1] *
                                    std::pow(x2, static_cast<double>(cut + 1)) / (1.0 - x2) * point / value;
            EXPECT_LE(error, left_out + 1e-15) << line << ": " << cut << " terms";
            if (cut == 5 && c.l == 1.6) five_terms_off = std::max(five_terms_off, error);
        }
        ++cases;
    }
    EXPECT_GE(cases, 105u);
    EXPECT_GT(five_terms_off, 1e-6);
}

// The moment factors that scale the series' terms: 1 for a constant table (the uniform disk's own
// series), and the quadratic law's second moment by hand.
TEST(ProfileEngine, SeriesMomentFactors) {
    const std::vector<double> radii{0.0, 1.0}, brightness{1.0, 1.0};
    const BrightnessLaw uniform{LawKind::tabulated, {}, radii, brightness};
    const auto prepared = mirvanta::models::prepare_law(uniform);
    for (std::size_t k = 0; k < prepared.moment_factor.size(); ++k) EXPECT_NEAR(prepared.moment_factor[k], 1.0, 1e-15);
    // Quadratic law: <x^2> = (1/N) int 2x x^2 I dx, N = 1 - a/3 - b/6; with
    // I = (1 - a - b) + (a + 2b) mu - b mu^2 and int 2 x^3 dx = 1/2, int 2 x^3 mu = 4/15,
    // int 2 x^3 mu^2 = 1/6.
    const auto quadratic = mirvanta::models::prepare_law({LawKind::quadratic, {0.5, 0.2}, {}, {}});
    const double a = 0.5, b = 0.2;
    const double n = 1.0 - a / 3.0 - b / 6.0;
    const double second = ((1.0 - a - b) * 0.5 + (a + 2.0 * b) * (4.0 / 15.0) - b / 6.0) / n;
    EXPECT_NEAR(quadratic.moment_factor[1], 2.0 * second, 1e-15);
    EXPECT_NEAR(quadratic.flux, n, 2e-16);
}

}  // namespace
