// The magnification of a radially symmetric source at one separation, by parts from the uniform
// disk: with F(x) = x^2 A_disk(u, x rho), the magnified flux of the disk of radius x, the source's
// magnified flux over pi is I(limb) F(1) - int_0^1 F dI, and its magnification that over the
// law's flux. The integral runs over pieces split where it bends, by an adaptive rule.
#pragma once

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

struct ProfileValue {
    double value = 0.0;
    double estimate = 0.0;  // estimated relative error
    bool converged = true;
    unsigned evaluations = 0;  // uniform-disk evaluations
};

// u > 0 or u = 0, rho > 0, both finite; law prepared (not uniform). The estimated relative error
// is at most rtol when converged.
ProfileValue profile_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol);

// The same for a tabulated profile (models/engine/profile_tabulated.cpp), which profile_by_quadrature
// hands it.
ProfileValue tabulated_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol);

}  // namespace mirvanta::models
