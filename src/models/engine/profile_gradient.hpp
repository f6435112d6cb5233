// The magnification of a radially symmetric source and its derivatives: with respect to the
// separation u, the source radius rho and the law's coefficients, each exact to the call's
// relative tolerance, from the same routes, pieces and nodes as the value
// (models/engine/profile.hpp).
#pragma once

#include <cstddef>

#include "models/array_view.hpp"
#include "models/engine/brightness_law.hpp"
#include "models/engine/profile.hpp"

namespace mirvanta::models {

// The coefficients a law's derivatives are taken with respect to, in the order its constructor
// takes them: none for the uniform disk, one per brightness value for a tabulated profile.
std::size_t law_coefficient_count(const BrightnessLaw& law);

// Where a call writes: for separation i, value[i] = A, du[i * du_stride] = dA/du,
// drho[i * drho_stride] = dA/drho and dlimb[i * dlimb_stride + j] = dA/dc_j (dlimb_stride 0: the
// law's coefficient count), so that the derivatives may go straight into the columns of a
// caller's matrix.
struct GradientOutput {
    double* value;
    double* du;
    double* drho;
    double* dlimb;
    std::size_t du_stride = 1, drho_stride = 1, dlimb_stride = 0;
};

// The derivatives' accuracy: each within rtol of the larger of its own size and A/rho (A for a
// coefficient), as the value is within rtol of A. Where the lens lies on the limb of a uniformly
// bright part of the source, dA/du and dA/drho diverge logarithmically: see
// models/kernel/disk_derivatives.hpp for what the kernel returns there. The report covers the
// value and its derivatives together.
ProfileReport profile_gradient(const ArrayView& u, const ArrayView& rho, const BrightnessLaw& law, double rtol,
                               const GradientOutput& out);

}  // namespace mirvanta::models
