#include "models/source_radii/flux_map.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "common/panic.hpp"
#include "models/source_radii/test_entry_points.hpp"
#include "models/source_radii/radial_integrands.hpp"
#include "models/kernel/heyrovsky.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "numerics/quadrature.hpp"
#include "parallel/map_scope.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

constexpr double kAnnulusHalfWidth = 1e-4;
// Each piece's integrals to 1e-12 of themselves. An absolute target of 1e-16 lies below the
// rounding of the rule's sums, so that it practically never stops before its last level: over the
// pieces of maps of 40 to 200 radii that costs 3 to 4 times as much, for results that differ by
// less than 3e-11 (the rule run to its last level on every piece against this target, six maps,
// rho = 1e-4, 0.05 and 1, the lens from the centre to 30 source radii). A one-point map, one
// piece, moved by at most 7.9e-11 from the absolute target over the whole disk.
constexpr numerics::RelativeTarget kTarget{1e-12};

constexpr const char* kRadiusNotFinite = "bl must hold finite radii; the first radius that is not finite is at index {index}";
constexpr const char* kRadiiNotAscending =
    "bl must be ascending; the first radius out of order (below the one before it) is at index {index}";
constexpr const char* kBadBrightness =
    "bf must hold finite brightness values of 0 or more; the first value that is not is at index {index}";
constexpr const char* kEmptyMap = "bl and bf are empty: a flux map needs at least one radius";
constexpr const char* kNoFlux = "bf gives the source no flux: the map is dark everywhere between radii 0 and 1";

void require_same_length(std::span<const double> bl, std::span<const double> bf,
                         std::source_location where = std::source_location::current()) {
    if (bl.size() != bf.size()) {
        throw Panic("assertion `left == right` failed\n  left: " + std::to_string(bl.size()) +
                        "\n right: " + std::to_string(bf.size()),
                    where);
    }
}

// The piece's unmagnified flux, int 2 pi x brightness(x) dx over it, by the rule over the parts
// between `points` (the same rule over the same parts as its magnified flux).
double piece_flux(const MapPiece& piece, std::span<const double> points) {
    const auto integrand = [&](double x) { return (x * numerics::kTwoPi) * piece.brightness(x); };
    return numerics::integrate_in_pieces(integrand, piece.from, piece.to, points, kTarget);
}

}  // namespace

ModelResult<FluxMap> flux_map(std::span<const double> bl, std::span<const double> bf) {
    for (std::size_t j = 0; j < bl.size(); ++j) {
        if (!std::isfinite(bl[j])) return DeferredError::value_error(kRadiusNotFinite, j);
        if (j > 0 && bl[j] < bl[j - 1]) return DeferredError::value_error(kRadiiNotAscending, j);
    }
    for (std::size_t j = 0; j < bf.size(); ++j) {
        if (!(bf[j] >= 0.0 && bf[j] < numerics::kInfinity)) return DeferredError::value_error(kBadBrightness, j);
    }
    if (bl.empty()) return DeferredError::value_error(kEmptyMap);
    // The brightness in a unit of its own, a power of two that puts its largest value in [1, 2):
    // no flux overflows, nor underflows for want of a larger unit, and no bit of the result
    // changes, since the rule's stop test and the quotient of the two fluxes are the same in
    // every such unit.
    double brightest = 0.0;
    for (const double b : bf) brightest = b > brightest ? b : brightest;
    int exponent = 0;
    std::frexp(brightest, &exponent);
    const auto brightness = [&](std::size_t j) { return std::ldexp(bf[j], 1 - exponent); };
    FluxMap map;
    const auto add = [&](MapPiece piece) {
        piece.flux = piece_flux(piece, {});
        if (piece.flux > 0.0) map.pieces.push_back(piece);
    };
    if (bl.size() == 1) {
        // One radius: its brightness over the whole disk.
        add({0.0, 1.0, 0.0, brightness(0), 0.0, 0.0});
    }
    for (std::size_t j = 0; j + 1 < bl.size(); ++j) {
        const double from = bl[j] > 0.0 ? bl[j] : 0.0;
        const double to = bl[j + 1] < 1.0 ? bl[j + 1] : 1.0;
        if (!(from < to) || (bf[j] == 0.0 && bf[j + 1] == 0.0)) continue;
        add({from, to, bl[j], brightness(j), (brightness(j + 1) - brightness(j)) / (bl[j + 1] - bl[j]), 0.0});
    }
    if (map.pieces.empty()) return DeferredError::value_error(kNoFlux);
    return map;
}

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

// The integrand 2 pi x annulus_magnification(x) brightness(x) of one piece: a disk integrand
// (detail/radial_integrands.hpp) of the annulus's two disks, whose limbs reach the lens at
// x = l + 1e-4 (the inner one) and x = l - 1e-4 (the outer one). The disks whose values are not
// used, an inner one of area 0 or both where the annulus has none, are evaluated all the same.
struct AnnulusDisks {
    static constexpr std::size_t kDisks = 2;
    double rho;
    const MapPiece& piece;

    static void annulus_radii(double x, double rho, double* radii) {
        const Annulus a = annulus_at(x);
        radii[0] = a.inner_radius * rho;
        radii[1] = a.outer_radius * rho;
    }

    void radii(double x, double* radii) const { annulus_radii(x, rho, radii); }

    double value(double x, const double* disks) const {
        const double annulus = annulus_value(annulus_at(x), disks[0], disks[1]);
        return ((x * numerics::kTwoPi) * annulus) * piece.brightness(x);
    }

    void limbs_at_lens(double l, double* x) const {
        x[0] = l - kAnnulusHalfWidth;
        x[1] = l + kAnnulusHalfWidth;
    }
};

}  // namespace

double annulus_magnification(double x, double u, double rho) {
    double disks[AnnulusDisks::kDisks];
    AnnulusDisks::annulus_radii(x, rho, disks);
    for (double& disk : disks) disk = witt_mao_magnification_scaled(u, disk);
    return annulus_value(annulus_at(x), disks[0], disks[1]);
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
            if (j % parallel::kElementPollStride == parallel::kElementPollStride - 1 &&
                parallel::element_should_stop()) {
                return sum;
            }
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

double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMap& map, NodeEvaluation nodes,
                                                     KernelPath path) {
    const double u = l * rho;
    const double disk = witt_mao_magnification_scaled(u, rho);
    if (!std::isfinite(disk)) return disk;
    double magnified = 0.0, unmagnified = 0.0;
    for (const MapPiece& piece : map.pieces) {
        const AnnulusDisks integrand{rho, piece};
        const auto bends = detail::bends(integrand, l, piece.from, piece.to);
        const double piece_magnified =
            detail::integrate_disks(integrand, u, piece.from, piece.to, bends.points(), kTarget, nodes, path);
        // The flux over the same parts as the magnified flux.
        const double piece_unmagnified = bends.count == 0 ? piece.flux : piece_flux(piece, bends.points());
        magnified = magnified + piece_magnified;
        unmagnified = unmagnified + piece_unmagnified;
    }
    // A mean of point-source magnifications, each at least 1: rounding in the differences of the
    // annuli's disks may leave it a few ulps below for a huge source, which it cannot be.
    return at_least_one(magnified / unmagnified);
}

double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMap& map) {
    return integrated_flux_map_witt_mao_magnification_at(l, rho, map, NodeEvaluation::by_level, default_kernel_path());
}

namespace {

// What the integrated functions do first and last: the lengths checked (a Panic where they
// differ) and the map made, before any separation (a refusal is returned); then, on the pool, each
// separation replaced by its magnification, computed by the kernel that kernel_for(map) makes.
template <class KernelFor>
ModelResult<std::vector<double>> on_each_separation(std::vector<double> l, std::span<const double> bl,
                                                    std::span<const double> bf, const KernelFor& kernel_for) {
    require_same_length(bl, bf);
    const ModelResult<FluxMap> map = flux_map(bl, bf);
    if (!map) return map.error();
    parallel::parallel_map_into(std::span<const double>(l), l.data(), kernel_for(map.value()));
    return l;
}

}  // namespace

ModelResult<std::vector<double>> integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re,
                                                                            double rstar, std::vector<double> bl,
                                                                            std::vector<double> bf) {
    const double rho = rstar / re;
    return on_each_separation(std::move(l), bl, bf, [rho](const FluxMap& map) {
        return [rho, &map](double separation) { return integrated_flux_map_witt_mao_magnification_at(separation, rho, map); };
    });
}

ModelResult<std::vector<double>> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re,
                                                                             double rstar, std::vector<double> bl,
                                                                             std::vector<double> bf) {
    return on_each_separation(std::move(l), bl, bf, [re, rstar](const FluxMap& map) {
        double flux = 0.0;
        for (const MapPiece& piece : map.pieces) flux = flux + piece.flux;
        if (re / rstar < 0.0) flux = numerics::kNaN;  // an Einstein radius that is negative
        return [re, rstar, flux, &map](double separation) {
            const auto form = detail::ring_derivative_form(separation, re, rstar);
            double magnified = 0.0;
            for (const MapPiece& piece : map.pieces) {
                const auto integrand = [&](double x) { return form(x) * piece.brightness(x); };
                magnified = magnified +
                            numerics::double_exponential_integrate(integrand, piece.from, piece.to, kTarget).integral;
            }
            return magnified / flux;
        };
    });
}

}  // namespace mirvanta::models
