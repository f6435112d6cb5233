// The tables of the basis profiles' magnifications (models/engine/profile_table.*) against mpmath
// (the laws' 1-D references and the uniform disk's closed form, at points the generator did not
// use) and against the engine at rtol 1e-13 over random points of their whole domain.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "models/engine/profile.hpp"
#include "models/engine/profile_table.hpp"
#include "models/kernel/witt_mao.hpp"

namespace {

using mirvanta::models::BrightnessLaw;
using mirvanta::models::kTableBases;
using mirvanta::models::LawKind;
using mirvanta::models::prepare_law;
using mirvanta::models::table_error;
using mirvanta::models::table_holds_radius;
using mirvanta::models::table_law;
using mirvanta::models::TableSource;

std::vector<std::vector<std::string>> data_words(const std::string& file) {
    std::ifstream in(std::string(MIRVANTA_TEST_DATA) + "/" + file);
    EXPECT_TRUE(in) << file;
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        lines.emplace_back();
        for (std::string word; words >> word;) lines.back().push_back(word);
    }
    return lines;
}

BrightnessLaw law_of(LawKind kind, std::vector<double> coefficients) {
    BrightnessLaw law;
    law.kind = kind;
    std::copy(coefficients.begin(), coefficients.end(), law.coefficients.begin());
    return law;
}

double engine(double u, double rho, const BrightnessLaw& law) {
    double out = 0.0;
    mirvanta::models::profile_magnification(std::span<const double>(&u, 1), std::span<const double>(&rho, 1), law,
                                            1e-13, &out);
    return out;
}

// The laws of the mpmath reference that are sums of the bases (linear, quadratic, square-root,
// Claret's), wherever the table holds them: within the bound the table's measured errors give,
// and within 1e-11; the law's own series (what a call evaluates) give the same.
TEST(ProfileTable, LawsAgainstMpmath) {
    const std::pair<const char*, LawKind> kinds[] = {{"linear", LawKind::linear},
                                                     {"quadratic", LawKind::quadratic},
                                                     {"square_root", LawKind::square_root},
                                                     {"claret", LawKind::claret}};
    std::size_t cases = 0;
    double worst = 0.0;
    for (const auto& w : data_words("profile_laws.txt")) {
        const auto kind = std::find_if(std::begin(kinds), std::end(kinds), [&](const auto& k) { return w[0] == k.first; });
        if (kind == std::end(kinds)) continue;
        std::vector<double> coefficients;
        for (std::size_t i = 1; i + 3 < w.size(); ++i) coefficients.push_back(std::stod(w[i]));
        const double rho = std::stod(w[w.size() - 3]), x = std::stod(w[w.size() - 2]);
        const long double expected = std::stold(w.back());
        if (!table_holds_radius(rho) || !TableSource::covers(x)) continue;
        const auto law = table_law(prepare_law(law_of(kind->second, coefficients)));
        ASSERT_TRUE(law.linear) << w[0];
        const auto bases = TableSource(rho).bases(x);
        const double value = law.value(bases);
        const double error = static_cast<double>(std::fabs(value / expected - 1.0L));
        worst = std::max(worst, error);
        EXPECT_LE(error, law.error_bound(bases)) << w[0] << " rho " << rho << " x " << x;
        EXPECT_LE(error, 1e-11);
        // The law's own series (the calls' route) give the same value and bound.
        const auto own = TableSource(rho, law).law_value(x);
        EXPECT_NEAR(own.value / value, 1.0, 1e-14) << w[0] << " rho " << rho << " x " << x;
        EXPECT_NEAR(own.bound / law.error_bound(bases), 1.0, 1e-9) << w[0] << " rho " << rho << " x " << x;
        ++cases;
    }
    EXPECT_GE(cases, 100u);
    std::printf("table, laws against mpmath: %zu cases, worst relative error %.2e\n", cases, worst);
}

// The disk's basis against mpmath's closed form, at the reference's radii in the table's range.
TEST(ProfileTable, DiskAgainstMpmath) {
    std::size_t cases = 0;
    double worst = 0.0;
    for (const char* file : {"disk_away.txt", "disk_limb.txt"}) {
        for (const auto& w : data_words(file)) {
            const double u = std::stod(w[0]), rho = std::stod(w[1]);
            const long double expected = std::stold(w[2]);
            if (!table_holds_radius(rho) || !TableSource::covers(u / rho)) continue;
            const double error = static_cast<double>(std::fabs(TableSource(rho).bases(u / rho)[0] / expected - 1.0L));
            worst = std::max(worst, error);
            EXPECT_LE(error, table_error(0)) << file << " u " << u << " rho " << rho;
            ++cases;
        }
    }
    EXPECT_GE(cases, 20u);
    std::printf("table, uniform disk against mpmath: %zu cases, worst relative error %.2e\n", cases, worst);
}

// Random points of the whole domain (rho log-uniform over the table's range; x uniform over
// [0, 2], and within 2^-14 to 2^-1 of the limb on either side), each basis against the engine at
// rtol 1e-13 (Quadratic(1, 0) is mu, Quadratic(2, -1) mu^2, SquareRoot(0, 1) mu^(1/2),
// Claret(0, 0, 1, 0) mu^(3/2); the disk the kernel): within the table's stated error and the
// engine's own 1e-13.
TEST(ProfileTable, BasesAgainstEngine) {
    const BrightnessLaw laws[kTableBases] = {law_of(LawKind::uniform, {}), law_of(LawKind::quadratic, {1.0, 0.0}),
                                             law_of(LawKind::quadratic, {2.0, -1.0}),
                                             law_of(LawKind::square_root, {0.0, 1.0}),
                                             law_of(LawKind::claret, {0.0, 0.0, 1.0, 0.0})};
    std::mt19937_64 random(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::array<double, kTableBases> worst{};
    std::size_t covered = 0;
    for (int i = 0; i < 1500; ++i) {
        const double rho = 0.1 * std::pow(100.0, unit(random));
        double x = 2.0 * unit(random);
        if (i % 2 == 1) x = 1.0 + (i % 4 == 1 ? 1.0 : -1.0) * std::exp2(-1.0 - 13.0 * unit(random));
        if (!TableSource::covers(x)) continue;
        ++covered;
        const auto bases = TableSource(rho).bases(x);
        for (std::size_t j = 0; j < kTableBases; ++j) {
            const double want = engine(x * rho, rho, laws[j]);
            const double error = std::fabs(bases[j] / want - 1.0);
            worst[j] = std::max(worst[j], error);
            EXPECT_LE(error, table_error(j) + 1e-13) << "basis " << j << " x " << x << " rho " << rho;
        }
    }
    EXPECT_GE(covered, 1400u);
    std::printf("table against the engine at 1e-13: worst relative error %.2e (disk), %.2e (mu), %.2e (mu^2), "
                "%.2e (mu^(1/2)), %.2e (mu^(3/2))\n",
                worst[0], worst[1], worst[2], worst[3], worst[4]);
}

// What the table holds: x from 0 to 2 but the limb's gap, rho from 0.1 to 10; the pieces meet
// continuously (two pieces' series at their common edge agree).
TEST(ProfileTable, Domain) {
    const double gap = std::exp2(-14);
    for (const double x : {0.0, 0.5, 1.0 - gap, 1.0 + gap, 1.5, 2.0}) EXPECT_TRUE(TableSource::covers(x)) << x;
    for (const double x : {-1e-300, 1.0 - gap / 2, 1.0, 1.0 + gap / 2, std::nextafter(2.0, 3.0), 1e300})
        EXPECT_FALSE(TableSource::covers(x)) << x;
    EXPECT_FALSE(TableSource::covers(std::nan("")));
    EXPECT_TRUE(table_holds_radius(0.1) && table_holds_radius(10.0) && table_holds_radius(1.0));
    EXPECT_FALSE(table_holds_radius(0.0999) || table_holds_radius(10.01) || table_holds_radius(std::nan("")));
    const TableSource source(0.7);
    for (int k = 1; k < 14; ++k) {
        for (const double edge : {1.0 - std::exp2(-k), 1.0 + std::exp2(-k)}) {
            const auto below = source.bases(std::nextafter(edge, 0.0)), above = source.bases(std::nextafter(edge, 3.0));
            for (std::size_t j = 0; j < kTableBases; ++j) EXPECT_NEAR(below[j] / above[j], 1.0, 2e-12) << edge;
        }
    }
}

// Which laws are sums of the bases: the uniform disk, the linear, quadratic, square-root and
// Claret laws; not the logarithmic or power-2 laws (not even at alpha = 1), nor a table.
// The sum of the scaled weights is the law's flux.
TEST(ProfileTable, LinearLaws) {
    struct Case {
        BrightnessLaw law;
        bool linear;
    };
    const Case cases[] = {
        {law_of(LawKind::uniform, {}), true},
        {law_of(LawKind::linear, {0.6}), true},
        {law_of(LawKind::quadratic, {0.5, 0.2}), true},
        {law_of(LawKind::claret, {0.0, 0.9, 0.0, -0.2}), true},
        {law_of(LawKind::claret, {0.1, 0.9, 0.0, -0.2}), true},
        {law_of(LawKind::square_root, {0.3, 0.2}), true},
        {law_of(LawKind::logarithmic, {0.5, 0.2}), false},
        {law_of(LawKind::power2, {0.5, 1.0}), false},
        {law_of(LawKind::power2, {0.5, 0.7}), false},
    };
    for (const Case& c : cases) {
        const auto prepared = prepare_law(c.law);
        const auto law = table_law(prepared);
        EXPECT_EQ(law.linear, c.linear) << static_cast<int>(c.law.kind);
        if (!law.linear) continue;
        EXPECT_NEAR(law.flux, prepared.flux, 1e-15);
        mirvanta::models::TableBases three;
        three.fill(3.0);
        EXPECT_DOUBLE_EQ(law.value(three), 3.0);
    }
    // Quadratic(a, b): I = (1 - a - b) + (a + 2b) mu - b mu^2, weights times 1, 2/3, 1/2.
    const auto q = table_law(prepare_law(law_of(LawKind::quadratic, {0.5, 0.2})));
    EXPECT_NEAR(q.scaled[0], 0.3, 1e-15);
    EXPECT_NEAR(q.scaled[1], 0.9 * 2.0 / 3.0, 1e-15);
    EXPECT_NEAR(q.scaled[2], -0.1, 1e-15);
    // Claret(a1..a4): I = (1 - sum a) + a1 mu^(1/2) + a2 mu + a3 mu^(3/2) + a4 mu^2.
    const auto c = table_law(prepare_law(law_of(LawKind::claret, {0.6, -0.3, 0.9, -0.45})));
    const double expected[kTableBases] = {0.25, -0.3 * 2.0 / 3.0, -0.45 * 0.5, 0.6 * 0.8, 0.9 * 4.0 / 7.0};
    for (std::size_t j = 0; j < kTableBases; ++j) EXPECT_NEAR(c.scaled[j], expected[j], 1e-15) << j;
}

}  // namespace

namespace {

using mirvanta::models::ProfileCounts;

std::vector<double> call(const std::vector<double>& u, const std::vector<double>& rho, const BrightnessLaw& law,
                         double rtol, ProfileCounts* counts) {
    std::vector<double> out(u.size());
    mirvanta::models::profile_magnification(u, rho, law, rtol, out.data(), counts);
    return out;
}

// Separations of one source from its centre to 3 rho, some of them in the limb's gap.
std::vector<double> across(double rho, std::size_t n) {
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = 3.0 * rho * static_cast<double>(i) / static_cast<double>(n - 1);
    u[n / 3] = rho * (1.0 - std::exp2(-16));
    u[n / 3 + 1] = rho;
    return u;
}

// A call of many separations of one radius within the tables, a law of their bases, rtol 1e-11 or
// more: the tables serve every separation they cover but the series' (none by the interpolant),
// the quadrature the limb's gap, each value within rtol of the engine at 1e-13.
TEST(ProfileTable, RouteTakenWhereAllowed) {
    struct Case {
        BrightnessLaw law;
        double rho, rtol;
    };
    const Case cases[] = {{law_of(LawKind::quadratic, {0.5, 0.2}), 1.0, 1e-10},
                          {law_of(LawKind::quadratic, {0.1, 0.8}), 0.1, 1e-6},
                          {law_of(LawKind::linear, {0.95}), 10.0, 1e-8},
                          {law_of(LawKind::claret, {0.0, 0.9, 0.0, -0.2}), 0.37, 1e-11},
                          {law_of(LawKind::square_root, {0.3, 0.4}), 2.0, 1e-10},
                          {law_of(LawKind::claret, {0.6, -0.3, 0.9, -0.45}), 0.5, 1e-8}};
    for (const Case& c : cases) {
        const std::vector<double> u = across(c.rho, 400);
        ProfileCounts counts;
        const std::vector<double> got = call(u, {c.rho}, c.law, c.rtol, &counts);
        std::size_t gap = 0;  // beyond x = 2 the series serves
        for (const double x : u) gap += !TableSource::covers(x / c.rho) && x <= 2.0 * c.rho ? 1 : 0;
        EXPECT_EQ(gap, 2u);
        EXPECT_EQ(counts.tabulated + counts.series, u.size() - gap);
        EXPECT_GT(counts.tabulated, 150u);
        EXPECT_EQ(counts.quadrature, gap) << "rho " << c.rho;
        EXPECT_EQ(counts.interpolated + counts.interpolant_nodes, 0u);
        double worst = 0.0;
        for (std::size_t i = 0; i < u.size(); i += 3) {
            const double error = std::fabs(got[i] / engine(u[i], c.rho, c.law) - 1.0);
            worst = std::max(worst, error);
            EXPECT_LE(error, c.rtol) << "u " << u[i] << " rho " << c.rho << " rtol " << c.rtol;
        }
        std::printf("tables' route, rho %g rtol %g: %zu tabulated, %zu series, %zu quadratures, worst error %.2e\n",
                    c.rho, c.rtol, counts.tabulated, counts.series, counts.quadrature, worst);
        // An array of that one radius is one source: the same bits.
        const std::vector<double> run = call(u, std::vector<double>(u.size(), c.rho), c.law, c.rtol, nullptr);
        for (std::size_t i = 0; i < u.size(); ++i) EXPECT_EQ(run[i], got[i]) << i;
    }
}

// Everywhere else the tables serve nothing and the call keeps its interpolant: a rtol below
// 1e-11, radii outside [0.1, 10], laws with other bases (the logarithmic and power-2 laws, power 1
// included), a call too small for an interpolant, radii that change along the call.
TEST(ProfileTable, RouteNotTakenElsewhere) {
    const BrightnessLaw quadratic = law_of(LawKind::quadratic, {0.5, 0.2});
    struct Case {
        BrightnessLaw law;
        double rho, rtol;
        std::size_t n;
        bool interpolant;
    };
    const Case cases[] = {{quadratic, 1.0, 1e-12, 400, true},
                          {quadratic, 0.09, 1e-10, 400, true},
                          {quadratic, 10.5, 1e-10, 400, true},
                          {law_of(LawKind::logarithmic, {0.5, 0.2}), 1.0, 1e-10, 400, true},
                          {law_of(LawKind::power2, {0.5, 1.0}), 1.0, 1e-10, 400, true},
                          {quadratic, 1.0, 1e-10, 8, false}};
    for (const Case& c : cases) {
        ProfileCounts counts;
        call(across(c.rho, c.n), {c.rho}, c.law, c.rtol, &counts);
        EXPECT_EQ(counts.tabulated, 0u) << "rho " << c.rho << " rtol " << c.rtol;
        if (c.interpolant) {
            EXPECT_GT(counts.interpolated, 0u) << "rho " << c.rho << " rtol " << c.rtol;
        }
    }
    std::vector<double> u = across(1.0, 400), rho(400);
    for (std::size_t i = 0; i < rho.size(); ++i) rho[i] = i % 2 == 0 ? 1.0 : 2.0;
    ProfileCounts counts;
    call(u, rho, quadratic, 1e-10, &counts);
    EXPECT_EQ(counts.tabulated, 0u);
}

}  // namespace
