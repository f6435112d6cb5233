#include "models/kernel/limb.hpp"

#include <cmath>

#include "models/kernel/general_form_terms.hpp"
#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"

namespace mirvanta::models {

using numerics::kPi;

double limb_disk_magnification(double rho) {
    const double t = rho * rho;
    return at_least_one((2.0 / rho + ((t + 1.0) / t) * (2.0 * std::atan(rho))) / kPi);
}

// The general form's arguments and sum (models/kernel/general_form_terms.hpp, which the limb zone's
// lanes share); only the integrals differ. The complements need u != rho, and then |u - rho| is at
// least half an ulp of rho, so that 1 - n >= 2^-110 and no square underflows for rho >= 1e-100.
double limb_zone_disk_magnification(double u, double rho) {
    if (u - rho == 0.0) return limb_disk_magnification(rho);
    const GeneralFormArguments<double> arguments = general_form_arguments(u, rho);
    const Complements<double> complements = general_form_complements(arguments);
    const numerics::CompleteIntegrals integrals =
        numerics::complete_integrals_from_complements(arguments.n, complements.one_minus_n, complements.one_minus_m);
    return general_form_value(u, arguments, integrals.e, integrals.k, integrals.pi);
}

}  // namespace mirvanta::models
