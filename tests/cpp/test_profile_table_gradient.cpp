// The derivatives of the bases' tables (models/engine/profile_table_gradient.hpp): against the
// engine's exact derivatives at rtol 1e-13 at random points off the generator's nodes, wherever a
// separation keeps them; and the gradient call takes them exactly where their bounds allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "models/engine/profile.hpp"
#include "models/engine/profile_gradient.hpp"
#include "models/engine/profile_table_gradient.hpp"
#include "models/engine/tolerance_budget.hpp"

namespace {

using mirvanta::models::ArrayView;
using mirvanta::models::BrightnessLaw;
using mirvanta::models::GradientOutput;
using mirvanta::models::LawKind;
using mirvanta::models::law_coefficient_count;
using mirvanta::models::prepare_law;
using mirvanta::models::profile_gradient;
using mirvanta::models::ProfileGradient;
using mirvanta::models::table_law;
using mirvanta::models::table_law_derivatives;
using mirvanta::models::TableGradient;
using mirvanta::models::TableSource;

BrightnessLaw law_of(LawKind kind, std::vector<double> coefficients) {
    BrightnessLaw law;
    law.kind = kind;
    std::copy(coefficients.begin(), coefficients.end(), law.coefficients.begin());
    return law;
}

struct Gradients {
    std::vector<double> a, du, drho, dlimb;
};

Gradients engine(const std::vector<double>& u, double rho, const BrightnessLaw& law, double rtol) {
    const std::size_t n = u.size(), k = law_coefficient_count(law);
    Gradients g{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n), std::vector<double>(n * k)};
    profile_gradient(ArrayView(std::span<const double>(u)), ArrayView(std::span<const double>(&rho, 1)), law, rtol,
                     GradientOutput{g.a.data(), g.du.data(), g.drho.data(), g.dlimb.data()});
    return g;
}

TableGradient table_of(double rho, const BrightnessLaw& law) {
    auto prepared = prepare_law(law);
    prepared.uniform = false;
    return TableGradient(rho, table_law(prepared), table_law_derivatives(prepared));
}

const BrightnessLaw kLaws[] = {law_of(LawKind::linear, {0.6}), law_of(LawKind::quadratic, {0.5, 0.2}),
                               law_of(LawKind::square_root, {0.3, 0.4}),
                               law_of(LawKind::claret, {0.6, -0.3, 0.9, -0.45})};

// Random radii and x (half uniform over [0, 2], half within 10^-4.2 to 10^-0.3 of the limb): where
// a separation keeps the tables' derivatives at rtol, each is within rtol of the exact one at
// 1e-13 (one separation a call: its own quadrature), relative to the larger of its size and A/rho
// (A for a coefficient's), and the value within rtol; most separations keep them at 1e-6.
TEST(ProfileTableGradient, AgainstTheExactDerivatives) {
    std::mt19937_64 random(29);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double tolerances[] = {1e-6, 1e-8, 1e-9};
    std::size_t seen = 0, kept[3] = {0, 0, 0};
    double worst[3] = {0.0, 0.0, 0.0};
    for (const BrightnessLaw& law : kLaws) {
        const std::size_t k = law_coefficient_count(law);
        for (int r = 0; r < 5; ++r) {
            const double rho = 0.1 * std::pow(100.0, unit(random));
            const TableGradient table = table_of(rho, law);
            for (int i = 0; i < 24; ++i) {
                const double side = unit(random) < 0.5 ? -1.0 : 1.0;
                const double x = i % 2 == 0 ? 2.0 * unit(random) : 1.0 + side * std::pow(10.0, -4.2 + 3.9 * unit(random));
                if (!TableSource::covers(x)) continue;
                const double u = x * rho;
                const Gradients exact = engine({u}, rho, law, 1e-13);
                ++seen;
                for (int t = 0; t < 3; ++t) {
                    const double rtol = tolerances[t];
                    ProfileGradient g;
                    if (!table.serve(u, mirvanta::models::budget::kTable * rtol, g)) continue;
                    ++kept[t];
                    const double a = exact.a[0];
                    double error = std::fabs(g.value.value / a - 1.0);
                    error = std::max(error, std::fabs(g.du - exact.du[0]) / std::max(std::fabs(exact.du[0]), a / rho));
                    error = std::max(error, std::fabs(g.drho - exact.drho[0]) / std::max(std::fabs(exact.drho[0]), a / rho));
                    for (std::size_t j = 0; j < k; ++j) {
                        error = std::max(error, std::fabs(g.dlimb[j] - exact.dlimb[j]) / std::max(std::fabs(exact.dlimb[j]), a));
                    }
                    worst[t] = std::max(worst[t], error / rtol);
                    EXPECT_LE(error, rtol) << "x " << x << " rho " << rho << " rtol " << rtol;
                }
            }
        }
    }
    for (int t = 0; t < 3; ++t) {
        std::printf("rtol %g: %zu of %zu separations kept the tables' derivatives, worst error %.2f rtol\n",
                    tolerances[t], kept[t], seen, worst[t]);
    }
    EXPECT_GT(kept[0], seen * 3 / 4);
    EXPECT_GT(kept[1], seen / 2);
}

// A gradient call of many separations of one radius takes the tables wherever a separation keeps
// them (the same bits as TableGradient::serve, A the value call's) and the exact path elsewhere; at rtol 1e-10 the
// bounds across ln rho miss, and the call keeps the interpolant and the quadrature.
TEST(ProfileTableGradient, CallTakesTheTablesWhereTheirBoundsHold) {
    for (const BrightnessLaw& law : kLaws) {
        for (const double rho : {0.1, 1.0, 7.0}) {
            std::vector<double> u(400);
            for (std::size_t i = 0; i < u.size(); ++i) u[i] = 3.0 * rho * static_cast<double>(i) / 399.0;
            const std::size_t k = law_coefficient_count(law);
            const TableGradient table = table_of(rho, law);
            EXPECT_GT(table.widest_log_rho_bound(), mirvanta::models::budget::kTable * 1e-10);
            const double rtol = 1e-7;
            ASSERT_LE(table.widest_log_rho_bound(), mirvanta::models::budget::kTable * rtol);
            const Gradients got = engine(u, rho, law, rtol);
            std::vector<double> values(u.size());
            mirvanta::models::profile_magnification(std::span<const double>(u), std::span<const double>(&rho, 1), law,
                                                    rtol, values.data());
            std::size_t served = 0;
            for (std::size_t i = 0; i < u.size(); ++i) {
                ProfileGradient g;
                if (!TableSource::covers(u[i] / rho) || !table.serve(u[i], mirvanta::models::budget::kTable * rtol, g)) {
                    continue;
                }
                ++served;
                EXPECT_EQ(got.a[i], g.value.value) << i;
                EXPECT_EQ(got.a[i], values[i]) << i;  // the value call's sums, the same bits
                EXPECT_EQ(got.du[i], g.du) << i;
                EXPECT_EQ(got.drho[i], g.drho) << i;
                for (std::size_t j = 0; j < k; ++j) EXPECT_EQ(got.dlimb[i * k + j], g.dlimb[j]) << i;
            }
            EXPECT_GT(served, 200u) << "rho " << rho;
            // At 1e-10 nothing comes from the tables: the values differ from theirs somewhere.
            const Gradients fine = engine(u, rho, law, 1e-10);
            std::size_t same = 0;
            for (std::size_t i = 0; i < u.size(); ++i) {
                ProfileGradient g;
                if (TableSource::covers(u[i] / rho) && table.serve(u[i], 1.0, g) && fine.du[i] == g.du) ++same;
            }
            EXPECT_LT(same, 20u) << "rho " << rho;
        }
    }
}

}  // namespace
