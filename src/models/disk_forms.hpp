// The forms of the uniform-disk kernel and the rule that picks one for (u, rho). The kernel
// (models/witt_mao.cpp) and anything else that evaluates the closed form for many separations at
// once share this rule, so that both take the same form, and give the same bits, for every input.
#pragma once

#include <cmath>

#include "models/far_field.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {

enum class DiskForm {
    point_source,  // rho <= 0
    far_field,     // finite u beyond kFarFieldRatio rho
    limb,          // the lens within the band around the limb
    general,       // the closed form in K, E and Pi
};

// Half-width of the band around the limb in which the exact limb value is returned: 0.001 rho,
// but at least 1e-5. On the limb itself the characteristic n is 1, where Pi is singular.
inline double limb_band_half_width(double rho) {
    double w = 0.001 * std::fabs(rho);
    if (std::isnan(w)) w = 1e-5;
    if (!(w > 1e-5)) w = 1e-5;
    return w;
}

// The far field comes before the limb band, whose half-width of at least 1e-5 would otherwise
// reach beyond 1000 rho for rho below 1e-8. An infinite u keeps the general form (NaN), and so
// does a NaN u or rho.
inline DiskForm disk_form(double u, double rho) {
    if (rho <= 0.0) return DiskForm::point_source;
    if (u > kFarFieldRatio * rho && u < numerics::kInfinity) return DiskForm::far_field;
    if (std::fabs(u - rho) < limb_band_half_width(rho)) return DiskForm::limb;
    return DiskForm::general;
}

// The closed form of Witt & Mao, as the kernel evaluates it wherever disk_form() says general:
// NaN when an elliptic integral fails.
double witt_mao_general_form(double u, double rho);

}  // namespace mirvanta::models
