#include "models/integrated.hpp"

#include <cmath>
#include <span>

#include "models/witt_mao.hpp"

namespace mirvanta::models {

double integrated_witt_mao_magnification_at(double l, double rho) {
    const double u = l * rho;
    // By t = sqrt(1 - x^2) and an integration by parts, int_0^1 (1 - x^2) A(u, rho sqrt(1 - x^2)) dx
    // is the flux of the sqrt(1 - t^2) part of the profile, magnified.
    const auto integrand = [&](double x) {
        const double w = 1.0 - x * x;
        if (w == 0.0) return 0.0;
        const double s = std::sqrt(w);
        return (s * s) * witt_mao_magnification_scaled(u, s * rho);
    };
    // The disk's magnification bends as a function of its radius where its limb crosses the lens,
    // as (r - u) ln|r - u|: here at s = l. With the lens at the centre that is x = 1, the end.
    double bend[1];
    std::size_t bends = 0;
    if (l >= 0.0 && l < 1.0) {
        const double x = std::sqrt((1.0 - l) * (1.0 + l));
        if (x < 1.0) bend[bends++] = x;
    }
    const double g = numerics::integrate_in_pieces(integrand, 0.0, 1.0, std::span<const double>(bend, bends), 1e-16);
    const double a0 = witt_mao_magnification_scaled(u, rho);
    return ((a0 * 0.4 + g * 0.6) * numerics::kPi) / kLimbDarkenedFlux;
}

std::vector<double> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    const double rho = rstar / re;
    parallel::parallel_map_into(std::span<const double>(l), l.data(),
                                [rho](double separation) { return integrated_witt_mao_magnification_at(separation, rho); });
    return l;
}

double limb_darkening_profile(double x) { return 1.0 + (1.0 - std::sqrt(1.0 - x * x)) * -0.6; }

std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_heyrovsky_magnification(std::move(l), limb_darkening_profile, re, rstar, kLimbDarkenedFlux);
}

}  // namespace mirvanta::models
