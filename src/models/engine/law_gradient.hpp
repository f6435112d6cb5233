// What a gradient call needs of a law's coefficients, made once per call on the calling thread:
// for each coefficient c_j, how the flux N, the limb's share w_0/N of the uniform disk, the
// moment factors m_k and the brightness's slope dI/dmu change with it. A tabulated profile's
// coefficients are its brightness values; its derivatives in them come from the quadrature's
// own terms (profile_tabulated.cpp), and here only the moments' for the series.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "models/engine/brightness_law.hpp"
#include "models/engine/profile_quadrature.hpp"

namespace mirvanta::models {

// dm_k/dc for k = 0..kMostMoments (dm_0/dc = 0: m_0 = 1).
using MomentGradient = std::array<double, kMostMoments + 1>;

struct CoefficientDerivative {
    PreparedLaw slope;    // dI/dc_j as a law of its own: its terms and slope dI_j/dmu
    double flux = 0.0;    // dN/dc_j
    double limb_weight = 0.0;  // d(w_0 / N)/dc_j
};

struct LawGradient {
    std::size_t count = 0;  // the law's coefficients
    std::array<CoefficientDerivative, kMostCoefficients> analytic;  // the analytic laws' first `count`
    std::vector<MomentGradient> moments;  // dm_k/dc_j: row j for coefficient j (every law)
};

LawGradient law_gradient(const PreparedLaw& law);

// The coefficients a law's derivatives are taken with respect to.
std::size_t coefficient_count(const BrightnessLaw& law);

}  // namespace mirvanta::models
