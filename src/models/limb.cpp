#include "models/limb.hpp"

#include <cmath>

#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"

namespace mirvanta::models {

using numerics::kPi;

double limb_disk_magnification(double rho) {
    const double t = rho * rho;
    return (2.0 / rho + ((t + 1.0) / t) * (2.0 * std::atan(rho))) / kPi;
}

// The coefficients and their order are those of the general form (models/witt_mao.cpp); only
// the integrals differ. The complements need u != rho, and then |u - rho| is at least half an
// ulp of rho, so that 1 - n >= 2^-110 and no square underflows for rho >= 1e-100.
double limb_zone_disk_magnification(double u, double rho) {
    const double d = u - rho;
    if (d == 0.0) return limb_disk_magnification(rho);
    const double t = rho * rho;
    const double s = u + rho;
    const double n = (u * (4.0 * rho)) / (s * s);
    const double ratio = d / s;
    const double one_minus_n = ratio * ratio;
    const double g2 = d * d + 4.0;
    const double g = std::sqrt(g2);
    const double one_minus_m = one_minus_n * ((s * s + 4.0) / g2);
    const numerics::CompleteIntegrals integrals = numerics::complete_integrals_from_complements(n, one_minus_n, one_minus_m);
    const double c_e = (s * g) / (t + t);
    const double c_k = (d * (4.0 + (u * u - t) * 0.5)) / (t * g);
    const double c_p = ((t + 1.0) * (d * d + d * d)) / ((t * s) * g);
    return ((c_e * integrals.e - c_k * integrals.k) + c_p * integrals.pi) / kPi;
}

}  // namespace mirvanta::models
