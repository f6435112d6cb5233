// The uniform disk's derivatives in the closed form and the limb zone (models/kernel/
// disk_derivatives.hpp), written once for a double and for a set of lanes (models/kernel/lanes/),
// so that both carry out the same operations in the same order: a lane's derivatives are the bits
// of the one-separation kernel's. No fused multiply-add: each product is rounded before it is
// added.
//
// Templates only, always inlined (see numerics/elliptic_steps.hpp for why).
#pragma once

#include <type_traits>

#include "models/kernel/disk_derivative_series.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {

// dA/du of the closed form, -(s G / (2 pi u rho^2)) ((2 - m) K - 2 E), which is
// -8 u H(m) / (s G)^3; below m = 0.3 the latter, by H's series. Written 0 - x so that u = 0
// gives +0. Lanes compute both and keep, lane by lane, the one the double takes.
template <class T>
[[gnu::always_inline]] inline T closed_form_du(T u, const GeneralFormArguments<T>& a, T two_minus_m, T e, T k) {
    const T sg = a.s * a.g;
    if constexpr (std::is_same_v<T, double>) {
        if (a.m < tables::kDiskHSeriesBelow) return 0.0 - ((8.0 * u) * h_series(a.m)) / ((sg * sg) * sg);
        return 0.0 - (sg / ((2.0 * numerics::kPi) * (u * a.t))) * (two_minus_m * k - 2.0 * e);
    } else {
        const T below = T(0.0) - ((8.0 * u) * h_series(a.m)) / ((sg * sg) * sg);
        const T above = T(0.0) - (sg / ((2.0 * numerics::kPi) * (u * a.t))) * (two_minus_m * k - 2.0 * e);
        return select(a.m < T(tables::kDiskHSeriesBelow), below, above);
    }
}

// dA/drho = (2/rho) (R - A), R the mean of the point-source magnification over the limb:
// (2 / (pi s G)) ((u - rho)^2 Pi(n, m) + 2 K(m)), the ring kernel's form
// (models/kernel/heyrovsky.hpp).
template <class T>
[[gnu::always_inline]] inline T closed_form_drho(T rho, const GeneralFormArguments<T>& a, T k, T p, T value) {
    const T ring = (2.0 / (numerics::kPi * (a.s * a.g))) * ((a.d * a.d) * p + 2.0 * k);
    return (2.0 / rho) * (ring - value);
}

}  // namespace mirvanta::models
