// The profile engine's derivatives (models/engine/profile_gradient.hpp) against an independent
// route: Richardson-extrapolated central differences of the engine's own values at its finest
// tolerance, on every route (series, interpolant, quadrature, the special values), every law and
// a tabulated profile; and the identities a gradient must keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "models/engine/profile.hpp"
#include "models/engine/profile_gradient.hpp"

namespace {

using mirvanta::models::ArrayView;
using mirvanta::models::BrightnessLaw;
using mirvanta::models::GradientOutput;
using mirvanta::models::LawKind;
using mirvanta::models::law_coefficient_count;
using mirvanta::models::profile_gradient;
using mirvanta::models::profile_magnification;

double value(double u, double rho, const BrightnessLaw& law) {
    double out = 0.0;
    profile_magnification(std::span<const double>(&u, 1), std::span<const double>(&rho, 1), law, 1e-13, &out);
    return out;
}

// d f / dx at x by central differences of steps h and h/2, Richardson-extrapolated: error
// O(h^4) plus the values' own errors over h.
double derivative(const std::function<double(double)>& f, double x, double h) {
    const double d1 = (f(x + h) - f(x - h)) / (2.0 * h);
    const double d2 = (f(x + h / 2) - f(x - h / 2)) / h;
    return (4.0 * d2 - d1) / 3.0;
}

struct Gradient {
    double a, du, drho;
    std::vector<double> dlimb;
};

std::vector<Gradient> gradients(const std::vector<double>& u, double rho, const BrightnessLaw& law, double rtol) {
    const std::size_t n = u.size(), k = law_coefficient_count(law);
    std::vector<double> a(n), du(n), drho(n), dlimb(n * k);
    profile_gradient(ArrayView(std::span<const double>(u)), ArrayView(std::span<const double>(&rho, 1)), law, rtol,
                     GradientOutput{a.data(), du.data(), drho.data(), dlimb.data()});
    std::vector<Gradient> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = {a[i], du[i], drho[i], std::vector<double>(dlimb.begin() + i * k, dlimb.begin() + (i + 1) * k)};
    }
    return out;
}

// Each derivative within `bound` of the differences, relative to the larger of its size and
// A/rho: one separation at a time (series or quadrature) and many at once (the interpolant).
TEST(ProfileGradient, UAndRhoAgainstDifferences) {
    const BrightnessLaw laws[] = {{LawKind::quadratic, {0.5, 0.2}}, {LawKind::square_root, {0.3, 0.4}},
                                  {LawKind::power2, {0.6, 0.7}}, {LawKind::uniform, {}}};
    for (const BrightnessLaw& law : laws) {
        for (const double rho : {0.01, 0.3, 3.0}) {
            std::vector<double> u;
            for (const double l : {0.0, 0.2, 0.7, 0.97, 1.03, 1.4, 2.5, 8.0}) u.push_back(l * rho);
            for (int i = 0; i < 200; ++i) u.push_back(rho * (0.05 + 2.4 * i / 200.0));  // an interpolant's
            const std::vector<Gradient> g = gradients(u, rho, law, 1e-10);
            double worst = 0.0;
            for (std::size_t i = 0; i < u.size(); i += (i < 8 ? 1 : 23)) {
                const double scale_u = std::max(std::fabs(g[i].du), g[i].a / rho);
                const double h = 2e-4 * rho;  // the limb 0.03 rho away leaves O(h^4) within 1e-11
                const double du = u[i] == 0.0 ? 0.0 : derivative([&](double x) { return value(x, rho, law); }, u[i], h);
                const double drho = derivative([&](double r) { return value(u[i], r, law); }, rho, h);
                const double error = std::max(std::fabs(g[i].du - du), std::fabs(g[i].drho - drho)) / scale_u;
                worst = std::max(worst, error);
                EXPECT_LT(error, 1e-8) << "u/rho " << u[i] / rho << " rho " << rho;
            }
            std::printf("gradient against differences, kind %d rho %g: worst %.1e\n", static_cast<int>(law.kind), rho,
                        worst);
        }
    }
}

// A tabulated profile's derivatives in its brightness values, against differences of the
// engine's values, and the identity that scaling the whole table leaves A unchanged:
// sum_j b_j dA/db_j = 0.
TEST(ProfileGradient, TableBrightnessAgainstDifferences) {
    const std::vector<double> radii{0.0, 0.3, 0.3, 0.6, 0.85, 1.0};
    const std::vector<double> base{1.0, 0.9, 0.6, 0.7, 0.4, 0.1};
    for (const double rho : {0.05, 1.0}) {
        for (const double l : {0.0, 0.3, 0.45, 0.9, 1.0, 1.3, 4.0}) {
            const double u = l * rho;
            BrightnessLaw law{LawKind::tabulated, {}, radii, base};
            const Gradient g = gradients({u}, rho, law, 1e-11)[0];
            double scaled = 0.0;
            for (std::size_t j = 0; j < base.size(); ++j) {
                const auto at = [&](double bj) {
                    std::vector<double> b = base;
                    b[j] = bj;
                    return value(u, rho, BrightnessLaw{LawKind::tabulated, {}, radii, b});
                };
                const double expected = derivative(at, base[j], 1e-3);
                EXPECT_NEAR(g.dlimb[j], expected, 1e-8 * g.a) << "b_" << j << " u/rho " << l << " rho " << rho;
                scaled += base[j] * g.dlimb[j];
            }
            EXPECT_NEAR(scaled, 0.0, 1e-10 * g.a) << "u/rho " << l << " rho " << rho;
        }
    }
}

// Each analytic law's derivatives in its coefficients against differences of the engine's values
// in each coefficient, through the series, the quadrature (the lens inside, near and on the limb,
// outside) and the interpolant.
TEST(ProfileGradient, CoefficientsAgainstDifferences) {
    const BrightnessLaw laws[] = {{LawKind::linear, {0.6}},
                                  {LawKind::quadratic, {0.5, 0.2}},
                                  {LawKind::square_root, {0.3, 0.4}},
                                  {LawKind::power2, {0.6, 0.7}},
                                  {LawKind::logarithmic, {0.6, 0.2}},
                                  {LawKind::claret, {0.6, -0.3, 0.9, -0.45}},
                                  {LawKind::linear, {0.0}}};  // uniform by value, not for its derivative
    for (const BrightnessLaw& law : laws) {
        for (const double rho : {0.02, 1.5}) {
            std::vector<double> u;
            for (const double l : {0.0, 0.5, 0.99, 1.0, 1.02, 1.6, 6.0}) u.push_back(l * rho);
            for (int i = 0; i < 120; ++i) u.push_back(rho * (0.1 + 2.0 * i / 120.0));
            const std::vector<Gradient> g = gradients(u, rho, law, 1e-10);
            const std::size_t k = law_coefficient_count(law);
            ASSERT_EQ(g[0].dlimb.size(), k);
            double worst = 0.0;
            for (std::size_t i = 0; i < u.size(); i += (i < 7 ? 1 : 17)) {
                for (std::size_t j = 0; j < k; ++j) {
                    const auto at = [&](double cj) {
                        BrightnessLaw changed = law;
                        changed.coefficients[j] = cj;
                        return value(u[i], rho, changed);
                    };
                    const double c = law.coefficients[j], h = 1e-3 * std::max(std::fabs(c), 0.1);
                    const double error = std::fabs(g[i].dlimb[j] - derivative(at, c, h)) / g[i].a;
                    worst = std::max(worst, error);
                    EXPECT_LT(error, 1e-8) << "kind " << static_cast<int>(law.kind) << " c_" << j << " u/rho "
                                           << u[i] / rho << " rho " << rho;
                }
            }
            std::printf("coefficients against differences, kind %d rho %g: worst %.1e\n", static_cast<int>(law.kind),
                        rho, worst);
        }
    }
}

}  // namespace
