#include "models/kernel/disk_derivatives.hpp"

#include <cmath>

#include "models/kernel/disk_derivative_forms.hpp"
#include "models/kernel/disk_derivative_series.hpp"
#include "models/kernel/disk_forms.hpp"
#include "models/kernel/far_field.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "models/kernel/heyrovsky.hpp"
#include "models/kernel/limb.hpp"
#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"
#include "numerics/legendre_triple.hpp"

namespace mirvanta::models {

using numerics::kInfinity;
using numerics::kNaN;
using numerics::kPi;

namespace {

constexpr DiskDerivatives kUndefined{kNaN, kNaN, kNaN};

DiskDerivatives general_form_derivatives(double u, double rho) {
    const GeneralFormArguments<double> a = general_form_arguments(u, rho);
    const auto integrals = numerics::legendre_triple(a.n, a.m);
    if (!integrals) return kUndefined;
    const double value = general_form_value(u, a, integrals->e, integrals->k, integrals->p);
    if (std::isnan(value)) return {value, kNaN, kNaN};  // e.g. a negative u beside an overflowing rho
    return {value, closed_form_du(u, a, 2.0 - a.m, integrals->e, integrals->k),
            closed_form_drho(rho, a, integrals->k, integrals->p, value)};
}

// The limb zone's integrals from the complements, as limb_zone_disk_magnification takes them;
// 2 - m as 1 + (1 - m). On the limb itself both derivatives diverge.
DiskDerivatives limb_zone_derivatives(double u, double rho) {
    if (u - rho == 0.0) return {limb_disk_magnification(rho), -kInfinity, kInfinity};
    const GeneralFormArguments<double> a = general_form_arguments(u, rho);
    const Complements<double> c = general_form_complements(a);
    const numerics::CompleteIntegrals integrals =
        numerics::complete_integrals_from_complements(a.n, c.one_minus_n, c.one_minus_m);
    const double value = general_form_value(u, a, integrals.e, integrals.k, integrals.pi);
    return {value, closed_form_du(u, a, 1.0 + c.one_minus_m, integrals.e, integrals.k),
            closed_form_drho(rho, a, integrals.k, integrals.pi, value)};
}

DiskDerivatives point_source_derivatives(double u) {
    if (!(u >= 0.0)) return kUndefined;
    if (u == 0.0) return {kInfinity, kNaN, kNaN};
    const double s = u * u;
    if (s == kInfinity) return {1.0, 0.0, 0.0};  // u beyond 2^512, as the kernel takes it
    const double q = s + 4.0;
    return {at_least_one((s + 2.0) / (u * std::sqrt(q))), 0.0 - 8.0 / (s * (q * std::sqrt(q))), 0.0};
}

// A source so large that A rounds to 1 (rho > 2^27): dA/drho = (2/rho) (R - A) with A taken as 1
// (A - 1 < 2/rho^2 costs below 2^-52 of A/rho) and R by the ring kernel, which scales itself for
// any rho; dA/du = -dA/drho. For the sum, dA/du + dA/drho = (2/rho) (<(A_point - 1)(1 + cos t)>
// - (A - 1)) over the limb, t the angle at the centre from the direction away from the lens:
// 1 + cos t vanishes quadratically where the limb passes nearest the lens, so that the mean is
// of order 1/rho^3 wherever the limb passes, and the sum is below about 2^-52 of A/rho.
DiskDerivatives huge_source_derivatives(double u, double rho) {
    const ModelResult<double> ring = heyrovsky_magnification(u, rho, 1.0, 1.0);
    if (!ring) return {1.0, kNaN, kNaN};
    // R >= 1 (a mean of magnifications): at least 1 where rounding leaves it below, so that
    // dA/du is never positive.
    const double drho = (2.0 / rho) * (at_least_one(ring.value()) - 1.0);
    return {1.0, u == 0.0 ? 0.0 : -drho, drho};
}

DiskDerivatives series_derivatives(double value, double u, double rho, std::size_t du_terms, std::size_t drho_terms) {
    const SeriesDerivatives<double> d = disk_series_derivatives(u, rho, du_terms, drho_terms);
    return {value, d.du, d.drho};
}

}  // namespace

DiskDerivatives witt_mao_derivatives(double u, double rho) {
    switch (disk_form(u, rho)) {
        case DiskForm::point_source:
            return point_source_derivatives(u);
        case DiskForm::no_source:
            return kUndefined;
        case DiskForm::infinitely_far:
            return {1.0, 0.0, 0.0};
        case DiskForm::far_field:
            return series_derivatives(far_field_disk_magnification(u, rho), u, rho, tables::kDiskFarFieldDuTerms,
                                      tables::kDiskFarFieldDrhoTerms);
        case DiskForm::mid_field:
            return series_derivatives(mid_field_disk_magnification(u, rho), u, rho, tables::kDiskDuTerms.size(),
                                      tables::kDiskDrhoTerms.size());
        case DiskForm::tiny_source: {
            // A(u, rho) = 2^k A(2^k u, 2^k rho), as the kernel scales it: the derivatives take 2^(2k).
            int exponent = 0;
            std::frexp(rho, &exponent);
            const int k = -100 - exponent;
            const DiskDerivatives scaled = witt_mao_derivatives(std::ldexp(u, k), std::ldexp(rho, k));
            return {std::ldexp(scaled.value, k), std::ldexp(scaled.du, 2 * k), std::ldexp(scaled.drho, 2 * k)};
        }
        case DiskForm::huge_source:
            return huge_source_derivatives(u, rho);
        case DiskForm::limb:
            return limb_zone_derivatives(u, rho);
        case DiskForm::general:
            break;
    }
    return general_form_derivatives(u, rho);
}

}  // namespace mirvanta::models
