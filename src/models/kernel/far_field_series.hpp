// The two far-field expansions of models/kernel/far_field.hpp, written once for a double and for a set of
// lanes (models/kernel/lanes/), so that both carry out the same operations in the same order; and their
// shared prefix written once for both expansions, on whose identity their agreement to the bit
// from about 300 rho out rests. No fused multiply-add: each product is rounded before it is added.
//
// The mean of a function over a disk of radius rho equals sum_k (rho^2/4)^k / (k! (k+1)!) L^k f at
// the centre, L the Laplacian. For the point-source magnification A(u) = (s + 2) / (u sqrt(q)),
// with s = u^2 and q = s + 4, L = d^2/du^2 + (1/u) d/du and (tools/derive_far_field.py):
//   L A   = 32 (s + 1) / (u^3 q^(5/2)),
//   L^2 A = 384 (3 s^3 + 6 s^2 + 14 s + 12) / (u^5 q^(9/2)).
// With w = u sqrt(q), x = rho/u, b = 1/q, a = s/q = 1 - 4b and F = 4 / (w q) this gives
//   A_disk = 1 + [ 4 / (w (s + 2 + w)) + F x^2 ((1 - 3b) + x^2 (3a^3 + 6a^2 b + 14a b^2 + 12b^3) / 2) ],
// where 4 / (w (s + 2 + w)) is A - 1 without cancellation. Every term is positive, so nothing
// cancels and the result is never below 1. (1 - 3b is at least 1/4; 1 - 4b is exact to an
// absolute ulp of 1, which only matters for small u, where the terms in b dominate.)
//
// Templates only, always inlined (see numerics/elliptic_steps.hpp for why).
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "models/kernel/mid_field_series.hpp"

namespace mirvanta::models {

// What both expansions compute first, in this order, and the point-source excess A - 1 they add
// last.
template <class T>
struct FarFieldPrefix {
    T s, q, w, b, a, x2, f;
};

template <class T>
[[gnu::always_inline]] inline FarFieldPrefix<T> far_field_prefix(T u, T rho) {
    using std::sqrt;
    FarFieldPrefix<T> p;
    p.s = u * u;
    p.q = p.s + 4.0;
    p.w = u * sqrt(p.q);
    p.b = 1.0 / p.q;
    p.a = 1.0 - 4.0 * p.b;
    const T x = rho / u;
    p.x2 = x * x;
    p.f = 4.0 / (p.w * p.q);
    return p;
}

// 1 + ((A - 1) + F series), the series being the sum of the terms in x^2 and beyond.
template <class T>
[[gnu::always_inline]] inline T far_field_sum(const FarFieldPrefix<T>& p, T f_series) {
    const T point_source_excess = 4.0 / (p.w * ((p.s + 2.0) + p.w));
    return 1.0 + (point_source_excess + f_series);
}

// The short expansion, to k = 2. The first term left out is at most 0.025 x^6 relative (2.5e-20
// for x < 1e-3), so the result is as accurate as its rounding: a few ulps. For u beyond about
// 1e154, s is +inf: then b = 0, a = 1, w = +inf, F = 0 and the result is 1.
template <class T>
[[gnu::always_inline]] inline T far_field_series(T u, T rho) {
    const FarFieldPrefix<T> p = far_field_prefix(u, rho);
    const T second = (p.a * p.a) * (3.0 * p.a + 6.0 * p.b) + (p.b * p.b) * (14.0 * p.a + 12.0 * p.b);
    return far_field_sum(p, p.f * (p.x2 * ((1.0 - 3.0 * p.b) + p.x2 * (second * 0.5))));
}

// The same mean-value series to k = 5, (rho^2/4)^k / (k! (k+1)!) L^k A = F x^(2k) Q_k(a, b) with
// Q_k homogeneous of degree 2k - 1 (tools/derive_far_field.py, which writes the coefficients
// into models/kernel/mid_field_series.hpp). Q_k is positive for every u, so again nothing cancels
// and the result is never below 1. The first term left out is at most 0.0073 x^12 relative,
// 1.8e-18 at x = 1/20; each Q_k is evaluated by Horner's rule in a with the powers of b
// carried along.
template <class T>
[[gnu::always_inline]] inline T mid_field_series(T u, T rho) {
    const FarFieldPrefix<T> p = far_field_prefix(u, rho);
    T series = 0.0;
    for (std::size_t k = tables::kMidFieldTerms.size(); k-- > 0;) {
        const std::span<const double> c = tables::kMidFieldTerms[k];
        T term = c.back();
        T power = 1.0;
        for (std::size_t i = c.size() - 1; i-- > 0;) {
            power = power * p.b;
            term = term * p.a + c[i] * power;
        }
        series = p.x2 * (term + series);
    }
    return far_field_sum(p, p.f * series);
}

}  // namespace mirvanta::models
