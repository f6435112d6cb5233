#include "models/flux_map.hpp"

#include <optional>
#include <string>

#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "numerics/interpolation.hpp"
#include "numerics/quadrature.hpp"
#include "parallel/panic.hpp"
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

double annulus_magnification(double x, double u, double rho) {
    const double inner_radius = x - kAnnulusHalfWidth > 0.0 ? x - kAnnulusHalfWidth : 0.0;
    const double outer_radius = x + kAnnulusHalfWidth < 1.0 ? x + kAnnulusHalfWidth : 1.0;
    const double inner_area = inner_radius * inner_radius;
    const double outer_area = outer_radius * outer_radius;
    if (outer_area <= inner_area) return numerics::kNaN;
    const double inner =
        inner_area == 0.0 ? 0.0 : inner_area * witt_mao_magnification_scaled(u, inner_radius * rho);
    const double outer = outer_area * witt_mao_magnification_scaled(u, outer_radius * rho);
    return (outer - inner) / (outer_area - inner_area);
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

double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMapProfile& profile,
                                                     double flux) {
    const double u = l * rho;
    const auto integrand = [&](double x) {
        return ((x * numerics::kTwoPi) * annulus_magnification(x, u, rho)) * profile(x);
    };
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
    const double magnified = numerics::integrate_in_pieces(integrand, 0.0, 1.0, points, 1e-16);
    // The rule's errors at the map's corners are nearly the same fraction of the magnified and of
    // the unmagnified flux when both are taken at the same nodes, and cancel in the quotient; so
    // the flux is taken over the same pieces (over [0, 1], it is `flux`).
    return magnified / (count == 0 ? flux : profile_flux_in_pieces(profile, points));
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
