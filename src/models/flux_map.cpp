#include "models/flux_map.hpp"

#include <optional>
#include <string>

#include "models/detail/kernel_paths.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "numerics/interpolation.hpp"
#include "numerics/quadrature.hpp"
#include "common/panic.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

constexpr double kAnnulusHalfWidth = 1e-4;

void require_same_length(const std::vector<double>& bl, const std::vector<double>& bf,
                         std::source_location where = std::source_location::current()) {
    if (bl.size() != bf.size()) {
        throw Panic("assertion `left == right` failed\n  left: " + std::to_string(bl.size()) +
                        "\n right: " + std::to_string(bf.size()),
                    where);
    }
}

}  // namespace

double FluxMapProfile::operator()(double x) const { return numerics::linear_interpolate(bl, bf, x); }

namespace {

// The annulus around x: its radii, cut at the centre and the limb, and their squares.
struct Annulus {
    double inner_radius, outer_radius, inner_area, outer_area;
};

Annulus annulus_at(double x) {
    Annulus a;
    a.inner_radius = x - kAnnulusHalfWidth > 0.0 ? x - kAnnulusHalfWidth : 0.0;
    a.outer_radius = x + kAnnulusHalfWidth < 1.0 ? x + kAnnulusHalfWidth : 1.0;
    a.inner_area = a.inner_radius * a.inner_radius;
    a.outer_area = a.outer_radius * a.outer_radius;
    return a;
}

// The annulus's mean magnification from its two disks' magnifications (inner unused where its
// area is 0); NaN where it has no area.
double annulus_value(const Annulus& a, double inner_disk, double outer_disk) {
    if (a.outer_area <= a.inner_area) return numerics::kNaN;
    const double inner = a.inner_area == 0.0 ? 0.0 : a.inner_area * inner_disk;
    const double outer = a.outer_area * outer_disk;
    return (outer - inner) / (a.outer_area - a.inner_area);
}

}  // namespace

double annulus_magnification(double x, double u, double rho) {
    const Annulus a = annulus_at(x);
    if (a.outer_area <= a.inner_area) return numerics::kNaN;
    const double inner = a.inner_area == 0.0 ? 0.0 : witt_mao_magnification_scaled(u, a.inner_radius * rho);
    const double outer = witt_mao_magnification_scaled(u, a.outer_radius * rho);
    return annulus_value(a, inner, outer);
}

namespace {

// int_0^1 2 pi x profile(x) dx, the rule run over the pieces between `points`.
double profile_flux_in_pieces(const FluxMapProfile& profile, std::span<const double> points) {
    const auto integrand = [&](double x) { return (x * numerics::kTwoPi) * profile(x); };
    return numerics::integrate_in_pieces(integrand, 0.0, 1.0, points, 1e-16);
}

}  // namespace

double profile_flux(std::span<const double> bl, std::span<const double> bf) {
    return profile_flux_in_pieces(FluxMapProfile{bl, bf}, {});
}

namespace {

// One separation's sum over the map, or the first ring-kernel failure in the map's order.
struct RingSum {
    double value = 0.0;
    std::optional<DeferredError> failure;
};

}  // namespace

ModelResult<std::vector<double>> discrete_flux_map_heyrovsky_magnification(std::vector<double> l, double re,
                                                                          double rstar, std::vector<double> bl,
                                                                          std::vector<double> bf) {
    require_same_length(bl, bf);
    const auto sums = parallel::parallel_map(std::span<const double>(l), [&](double separation) {
        RingSum sum;
        for (std::size_t j = 0; j < bl.size(); ++j) {
            // A map may hold many rings; a stopped call does not use this sum.
            if (j % 1024 == 1023 && parallel::element_should_stop()) return sum;
            const auto ring = heyrovsky_magnification(separation, bl[j], re, rstar);
            if (!ring) {
                sum.failure = ring.error();
                return sum;
            }
            sum.value = sum.value + ring.value() * bf[j];
        }
        return sum;
    });
    // The first failure in the order of l ends the call, as if the sums ran one after another.
    for (std::size_t i = 0; i < sums.size(); ++i) {
        if (sums[i].failure) return *sums[i].failure;
        l[i] = sums[i].value;
    }
    return l;
}

namespace {

// The integrand 2 pi x annulus_magnification(x) profile(x) at many nodes, the kernel evaluated for
// all of their disks (inner and outer) at once, on the lanes of `path`: the same operations in
// each node, so the same bits. (The disks whose values are not used, an inner one of area 0 or
// both where the annulus has none, are evaluated all the same.)
struct AnnulusNodes {
    double u, rho;
    const FluxMapProfile& profile;
    KernelPath path;

    void operator()(std::span<const double> x, double* out) const {
        constexpr std::size_t chunk = 2 * numerics::kMostLevelNodes;
        double disks[2 * chunk];
        for (std::size_t first = 0; first < x.size(); first += chunk) {
            const std::size_t count = x.size() - first < chunk ? x.size() - first : chunk;
            for (std::size_t i = 0; i < count; ++i) {
                const Annulus a = annulus_at(x[first + i]);
                disks[2 * i] = a.inner_radius * rho;
                disks[2 * i + 1] = a.outer_radius * rho;
            }
            witt_mao_magnification_radii(u, std::span<const double>(disks, 2 * count), disks, path);
            for (std::size_t i = 0; i < count; ++i) {
                const double at = x[first + i];
                const double annulus = annulus_value(annulus_at(at), disks[2 * i], disks[2 * i + 1]);
                out[first + i] = ((at * numerics::kTwoPi) * annulus) * profile(at);
            }
        }
    }
};

}  // namespace

double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMapProfile& profile,
                                                     double flux, NodeEvaluation nodes, KernelPath path) {
    const double u = l * rho;
    // Each of the annulus's two disks bends as a function of its radius where its limb crosses
    // the lens, as (r - l) ln|r - l|, divided by the annulus's small area.
    double bends[2];
    std::size_t count = 0;
    if (l >= 0.0 && l < 1.0) {
        for (const double x : {l - kAnnulusHalfWidth, l + kAnnulusHalfWidth}) {
            if (x > 0.0 && x < 1.0) bends[count++] = x;
        }
    }
    const std::span<const double> points(bends, count);
    const double magnified =
        nodes == NodeEvaluation::by_level
            ? numerics::integrate_in_pieces(numerics::BatchedIntegrand{AnnulusNodes{u, rho, profile, path}}, 0.0,
                                            1.0, points, 1e-16)
            : numerics::integrate_in_pieces(
                  [&](double x) { return ((x * numerics::kTwoPi) * annulus_magnification(x, u, rho)) * profile(x); },
                  0.0, 1.0, points, 1e-16);
    // The rule's errors at the map's corners are nearly the same fraction of the magnified and of
    // the unmagnified flux when both are taken at the same nodes, and cancel in the quotient; so
    // the flux is taken over the same pieces (over [0, 1], it is `flux`).
    return magnified / (count == 0 ? flux : profile_flux_in_pieces(profile, points));
}

double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMapProfile& profile,
                                                     double flux) {
    return integrated_flux_map_witt_mao_magnification_at(l, rho, profile, flux, NodeEvaluation::by_level,
                                                         default_kernel_path());
}

std::vector<double> integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re, double rstar,
                                                               std::vector<double> bl, std::vector<double> bf) {
    require_same_length(bl, bf);
    const FluxMapProfile profile{bl, bf};
    const double flux = profile_flux(bl, bf);
    const double rho = rstar / re;
    parallel::parallel_map_into(std::span<const double>(l), l.data(), [&](double separation) {
        return integrated_flux_map_witt_mao_magnification_at(separation, rho, profile, flux);
    });
    return l;
}

std::vector<double> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                                std::vector<double> bl, std::vector<double> bf) {
    require_same_length(bl, bf);
    const FluxMapProfile profile{bl, bf};
    const double flux = profile_flux(bl, bf);
    return _integrated_heyrovsky_magnification(std::move(l), profile, re, rstar, flux);
}

}  // namespace mirvanta::models
