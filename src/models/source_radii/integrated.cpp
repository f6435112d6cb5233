#include "models/source_radii/integrated.hpp"

#include <cmath>
#include <span>

#include "models/source_radii/test_entry_points.hpp"
#include "models/source_radii/radial_integrands.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "numerics/quadrature.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {

namespace {

// By t = sqrt(1 - x^2) and an integration by parts, int_0^1 (1 - x^2) A(u, rho sqrt(1 - x^2)) dx
// is the flux of the sqrt(1 - t^2) part of the profile, magnified: a disk integrand
// (detail/radial_integrands.hpp) of one disk, of radius rho sqrt(1 - x^2), whose limb reaches the
// lens at x = sqrt(1 - l^2). (Where 1 - x^2 = 0 the disk has radius 0, and its value is not used.)
struct LimbDarkenedDisk {
    static constexpr std::size_t kDisks = 1;
    double rho;

    void radii(double x, double* radii) const { radii[0] = std::sqrt(1.0 - x * x) * rho; }

    double value(double x, const double* disk) const {
        const double w = 1.0 - x * x;
        if (w == 0.0) return 0.0;
        const double s = std::sqrt(w);
        return (s * s) * disk[0];
    }

    // With the lens at the centre that is x = 1, the end, where nothing is split.
    void limbs_at_lens(double l, double* x) const { x[0] = std::sqrt((1.0 - l) * (1.0 + l)); }
};

}  // namespace

double integrated_witt_mao_magnification_at(double l, double rho, NodeEvaluation nodes, KernelPath path) {
    const double u = l * rho;
    const LimbDarkenedDisk integrand{rho};
    const auto bends = detail::bends(integrand, l, 0.0, 1.0);
    const double g = detail::integrate_disks(integrand, u, 0.0, 1.0, bends.points(), 1e-16, nodes, path);
    const double a0 = witt_mao_magnification_scaled(u, rho);
    // A mean of point-source magnifications: never below 1, whatever the rounding.
    return at_least_one(((a0 * 0.4 + g * 0.6) * numerics::kPi) / kLimbDarkenedFlux);
}

double integrated_witt_mao_magnification_at(double l, double rho) {
    return integrated_witt_mao_magnification_at(l, rho, NodeEvaluation::by_level, default_kernel_path());
}

std::vector<double> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    const double rho = rstar / re;
    parallel::parallel_map_into(std::span<const double>(l), l.data(),
                                [rho](double separation) { return integrated_witt_mao_magnification_at(separation, rho); });
    return l;
}

double limb_darkening_profile(double x) { return 1.0 + (1.0 - std::sqrt(1.0 - x * x)) * -0.6; }

std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    const double normalisation = re / rstar < 0.0 ? numerics::kNaN : kLimbDarkenedFlux;
    parallel::parallel_map_into(std::span<const double>(l), l.data(), [&](double separation) {
        const auto form = detail::ring_derivative_form(separation, re, rstar);
        const auto integrand = [&](double x) { return form(x) * limb_darkening_profile(x); };
        return numerics::double_exponential_integrate(integrand, 0.0, 1.0, 1e-16).integral / normalisation;
    });
    return l;
}

}  // namespace mirvanta::models
