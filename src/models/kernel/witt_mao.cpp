#include "models/kernel/witt_mao.hpp"

#include <cmath>

#include "models/kernel/disk_forms.hpp"
#include "models/kernel/far_field.hpp"
#include "models/kernel/limb.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "numerics/constants.hpp"
#include "numerics/legendre_triple.hpp"

namespace mirvanta::models {

using numerics::kNaN;
using numerics::kPi;

double witt_mao_general_form(double u, double rho) {
    const GeneralFormArguments<double> arguments = general_form_arguments(u, rho);
    const auto integrals = numerics::legendre_triple(arguments.n, arguments.m);
    if (!integrals) return kNaN;
    return general_form_value(u, arguments, integrals->e, integrals->k, integrals->p);
}

double witt_mao_magnification_scaled(double u, double rho) {
    switch (disk_form(u, rho)) {
        case DiskForm::point_source: {
            // A source of no size: no value at a negative separation, +inf at u = 0 (-0 too).
            if (!(u >= 0.0)) return kNaN;
            if (u == 0.0) return numerics::kInfinity;
            const double s = u * u;
            // Beyond u = 2^512 the square overflows (and the quotient would be inf/inf); there
            // A - 1 ~ 2/u^4 is far below an ulp of 1, so the value is the limit at infinity.
            if (s == numerics::kInfinity) return 1.0;
            return at_least_one((s + 2.0) / (u * std::sqrt(s + 4.0)));
        }
        case DiskForm::no_source:
            return kNaN;
        case DiskForm::infinitely_far:
            return 1.0;
        case DiskForm::far_field:
            // The general form cancels there (relative error about 1e-16 (u/rho)^2).
            return far_field_disk_magnification(u, rho);
        case DiskForm::mid_field:
            return mid_field_disk_magnification(u, rho);
        case DiskForm::tiny_source: {
            // rho 2^k in [2^-101, 2^-100): scaling by a power of two is exact, and the disk is so
            // small that its magnification is 1/rho times a function of u/rho, to (2^k rho)^2.
            int exponent = 0;
            std::frexp(rho, &exponent);
            const int k = -100 - exponent;
            return std::ldexp(witt_mao_magnification_scaled(std::ldexp(u, k), std::ldexp(rho, k)), k);
        }
        case DiskForm::huge_source:
            return 1.0;
        case DiskForm::limb:
            return limb_zone_disk_magnification(u, rho);
        case DiskForm::general:
            break;
    }
    return witt_mao_general_form(u, rho);
}

}  // namespace mirvanta::models
