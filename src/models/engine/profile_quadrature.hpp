// The magnification of a radially symmetric source at one separation, by parts from the uniform
// disk: with F(x) = x^2 A_disk(u, x rho), the magnified flux of the disk of radius x, the source's
// magnified flux over pi is I(limb) F(1) - int_0^1 F dI, and its magnification that over the
// law's flux. The integral runs over pieces split where it bends, by an adaptive rule.
#pragma once

#include <array>
#include <cstddef>

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

struct ProfileValue {
    double value = 0.0;
    double estimate = 0.0;  // estimated relative error
    bool converged = true;
    unsigned evaluations = 0;  // uniform-disk evaluations
};

// A value with its derivatives: with respect to u, rho and, for the analytic laws, each of their
// coefficients (a tabulated profile's go to the caller's row). `value` carries the report: the
// estimate is the largest of the components' estimated errors, each relative to its scale (A for
// the value and the coefficients' derivatives, A/rho for those in u and rho).
struct ProfileGradient {
    ProfileValue value;
    double du = 0.0, drho = 0.0;
    std::array<double, kMostCoefficients> dlimb{};
};

struct LawGradient;

// Component k of a gradient: 0 the value, 1 dA/du, 2 dA/drho, 3 + j dA/dc_j.
inline double component_of(const ProfileGradient& g, std::size_t k) {
    if (k == 0) return g.value.value;
    if (k == 1) return g.du;
    if (k == 2) return g.drho;
    return g.dlimb[k - 3];
}

// u > 0 or u = 0, rho > 0, both finite; law prepared (not uniform). The estimated relative error
// is at most rtol when converged.
ProfileValue profile_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol);

// The same for a tabulated profile (models/engine/profile_tabulated.cpp), which profile_by_quadrature
// hands it.
ProfileValue tabulated_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol);

// The value and its derivatives by the same quadrature, every component refined to its share of
// rtol on the same pieces and nodes. For a tabulated profile, table_row[j] = dA/db_j, one per
// brightness value; unused for the analytic laws.
ProfileGradient gradient_by_quadrature(double u, double rho, const PreparedLaw& law, const LawGradient& coefficients,
                                       double rtol, double* table_row);
ProfileGradient tabulated_gradient_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol,
                                                 double* table_row);

}  // namespace mirvanta::models
