// PROVISIONAL: a plain quadrature standing in for the profile engine while the surface is built.
#include <cmath>

#include "models/profile.hpp"
#include "models/witt_mao.hpp"
#include "numerics/quadrature.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {
double brightness(const BrightnessLaw& law, double x) {
    const double mu = std::sqrt(std::max(0.0, 1.0 - x * x));
    switch (law.kind) {
        case LawKind::uniform: return 1.0;
        case LawKind::linear: return 1.0 - law.p * (1.0 - mu);
        case LawKind::quadratic: return 1.0 - law.p * (1.0 - mu) - law.q * (1.0 - mu) * (1.0 - mu);
        case LawKind::square_root: return 1.0 - law.p * (1.0 - mu) - law.q * (1.0 - std::sqrt(mu));
        case LawKind::power2: return 1.0 - law.p * (1.0 - std::pow(mu, law.q));
        case LawKind::tabulated: {
            const auto r = law.radii; const auto b = law.brightness;
            if (x < r.front() || x > r.back()) return 0.0;
            for (std::size_t i = 1; i < r.size(); ++i)
                if (x <= r[i] && r[i] > r[i - 1]) return b[i - 1] + (b[i] - b[i - 1]) * (x - r[i - 1]) / (r[i] - r[i - 1]);
            return b.back();
        }
    }
    return 1.0;
}
double one(double u, double rho, const BrightnessLaw& law) {
    if (std::isnan(u) || std::isnan(rho)) return std::nan("");
    if (law.kind == LawKind::uniform) return witt_mao_magnification_scaled(u, rho);
    const auto f = [&](double x) { return 2.0 * x * brightness(law, x) * witt_mao_magnification_scaled(u, x * rho) * 1.0; };
    const auto g = [&](double x) { return 2.0 * x * brightness(law, x); };
    // annuli approximation: d(x^2 A)/dx ... crude, provisional
    const auto h = [&](double x) {
        const double e = 1e-6;
        const double a1 = (x + e) * (x + e) * witt_mao_magnification_scaled(u, (x + e) * rho);
        const double a0 = x > e ? (x - e) * (x - e) * witt_mao_magnification_scaled(u, (x - e) * rho) : 0.0;
        return brightness(law, x) * (a1 - a0) / (x > e ? 2 * e : x + e);
    };
    (void)f;
    return numerics::double_exponential_integrate(h, 0.0, 1.0, 1e-12).integral /
           numerics::double_exponential_integrate(g, 0.0, 1.0, 1e-14).integral;
}
}  // namespace

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho, const BrightnessLaw& law,
                                    double, double* out) {
    if (rho.size() == 1) {
        const double r = rho[0];
        parallel::parallel_map_into(u, out, [&](double x) { return one(x, r, law); });
    } else {
        for (std::size_t i = 0; i < u.size(); ++i) out[i] = one(u[i], rho[i], law);
    }
    return {};
}
}  // namespace mirvanta::models
