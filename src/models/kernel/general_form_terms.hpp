// The arithmetic of the uniform-disk closed form around its elliptic integrals, written once for
// a double and for a set of lanes (models/kernel/lanes/), so that both carry out the same operations in
// the same order: the arguments n and m of Pi(n, m), E(m) and K(m), and the sum of the three
// terms, raised to 1 where rounding leaves it below. No fused multiply-add: each product is
// rounded before it is added.
//
// Templates only, always inlined (see numerics/elliptic_steps.hpp for why).
#pragma once

#include <cmath>

#include "numerics/constants.hpp"

namespace mirvanta::models {

template <class T>
struct GeneralFormArguments {
    T d, t, s, n, g, m;
};

// u and rho in Einstein radii.
template <class T>
[[gnu::always_inline]] inline GeneralFormArguments<T> general_form_arguments(T u, T rho) {
    using std::sqrt;
    GeneralFormArguments<T> a;
    a.d = u - rho;
    a.t = rho * rho;
    a.s = u + rho;
    a.n = (u * (4.0 * rho)) / (a.s * a.s);
    a.g = sqrt(a.d * a.d + 4.0);
    const T k = sqrt(4.0 * a.n) / a.g;
    a.m = k * k;
    return a;
}

// The complements 1 - n = ((u - rho)/(u + rho))^2 and 1 - m = (1 - n) ((u + rho)^2 + 4) /
// ((u - rho)^2 + 4), which keep their full relative precision as u approaches rho, where 1 - n
// and 1 - m formed from n and m would cancel (the limb zone, models/kernel/limb.hpp).
template <class T>
struct Complements {
    T one_minus_n, one_minus_m;
};

template <class T>
[[gnu::always_inline]] inline Complements<T> general_form_complements(const GeneralFormArguments<T>& a) {
    const T ratio = a.d / a.s;
    const T one_minus_n = ratio * ratio;
    const T g2 = a.d * a.d + 4.0;
    return {one_minus_n, one_minus_n * ((a.s * a.s + 4.0) / g2)};
}

// A uniform disk magnifies: its magnification exceeds 1 everywhere. For large sources the excess,
// below 2 / rho^2, is smaller than the closed form's rounding (its terms are of order 1 each), which
// can leave a result just below 1; the result is then 1, the nearest value that can be right. NaN
// stays NaN.
[[gnu::always_inline]] inline double at_least_one(double a) { return a < 1.0 ? 1.0 : a; }

template <class V>
[[gnu::always_inline]] inline V at_least_one(V a) {
    return select(a < V(1.0), V(1.0), a);
}

template <class T>
[[gnu::always_inline]] inline T general_form_value(T u, const GeneralFormArguments<T>& a, T e, T k, T p) {
    const T c_e = (a.s * a.g) / (a.t + a.t);
    const T c_k = (a.d * (4.0 + (u * u - a.t) * 0.5)) / (a.t * a.g);
    const T c_p = ((a.t + 1.0) * (a.d * a.d + a.d * a.d)) / ((a.t * a.s) * a.g);
    return at_least_one(((c_e * e - c_k * k) + c_p * p) / numerics::kPi);
}

}  // namespace mirvanta::models
