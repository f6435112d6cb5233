#include "models/integrated.hpp"

#include <cmath>
#include <span>

#include "models/detail/kernel_paths.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_range.hpp"

namespace mirvanta::models {

namespace {

// By t = sqrt(1 - x^2) and an integration by parts, int_0^1 (1 - x^2) A(u, rho sqrt(1 - x^2)) dx
// is the flux of the sqrt(1 - t^2) part of the profile, magnified. Its integrand at one node:
double limb_darkened_integrand(double x, double u, double rho) {
    const double w = 1.0 - x * x;
    if (w == 0.0) return 0.0;
    const double s = std::sqrt(w);
    return (s * s) * witt_mao_magnification_scaled(u, s * rho);
}

// The same integrand at many nodes, the kernel evaluated for all of their disks at once, on the
// lanes of `path`: the same operations in each node, so the same bits. (Where 1 - x^2 = 0 the
// kernel is given a disk of radius 0, and its value is not used.)
struct LimbDarkenedNodes {
    double u, rho;
    KernelPath path;

    void operator()(std::span<const double> x, double* out) const {
        constexpr std::size_t chunk = 2 * numerics::kMostLevelNodes;
        double s[chunk];
        for (std::size_t first = 0; first < x.size(); first += chunk) {
            const std::size_t count = x.size() - first < chunk ? x.size() - first : chunk;
            for (std::size_t i = 0; i < count; ++i) {
                s[i] = std::sqrt(1.0 - x[first + i] * x[first + i]);
                out[first + i] = s[i] * rho;
            }
            witt_mao_magnification_radii(u, std::span<const double>(out + first, count), out + first, path);
            for (std::size_t i = 0; i < count; ++i) {
                const double w = 1.0 - x[first + i] * x[first + i];
                out[first + i] = w == 0.0 ? 0.0 : (s[i] * s[i]) * out[first + i];
            }
        }
    }
};

}  // namespace

double integrated_witt_mao_magnification_at(double l, double rho, NodeEvaluation nodes, KernelPath path) {
    const double u = l * rho;
    // The disk's magnification bends as a function of its radius where its limb crosses the lens,
    // as (r - u) ln|r - u|: here at s = l. With the lens at the centre that is x = 1, the end.
    double bend[1];
    std::size_t bends = 0;
    if (l >= 0.0 && l < 1.0) {
        const double x = std::sqrt((1.0 - l) * (1.0 + l));
        if (x < 1.0) bend[bends++] = x;
    }
    const std::span<const double> points(bend, bends);
    const double g =
        nodes == NodeEvaluation::by_level
            ? numerics::integrate_in_pieces(numerics::BatchedIntegrand{LimbDarkenedNodes{u, rho, path}}, 0.0, 1.0,
                                            points, 1e-16)
            : numerics::integrate_in_pieces([&](double x) { return limb_darkened_integrand(x, u, rho); }, 0.0, 1.0,
                                            points, 1e-16);
    const double a0 = witt_mao_magnification_scaled(u, rho);
    return ((a0 * 0.4 + g * 0.6) * numerics::kPi) / kLimbDarkenedFlux;
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
    return _integrated_heyrovsky_magnification(std::move(l), limb_darkening_profile, re, rstar, kLimbDarkenedFlux);
}

}  // namespace mirvanta::models
