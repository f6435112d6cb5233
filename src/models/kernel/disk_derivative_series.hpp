// The series behind the uniform disk's derivatives (models/kernel/disk_derivatives.hpp), written
// once as templates so that lanes can share them later; tools/derive_disk_derivatives.py derives
// their coefficients (models/kernel/disk_derivative_terms.hpp) and evaluates them in doubles in
// this order. No fused multiply-add: each product is rounded before it is added.
//
// Beyond 20 rho: the kernel's mean-value series (models/kernel/far_field_series.hpp),
// A = 1 + (A_point - 1) + F sum_k x^(2k) Q_k(a, b), differentiated term by term:
//   dA/du   = -(F/u) (2 + sum_k x^(2k) S_k(a, b)),     -2F/u being dA_point/du,
//   dA/drho = 2 F (x/u) sum_k x^(2(k-1)) k Q_k(a, b).
// Every S_k and Q_k is positive for every u (the tool proves it), so neither sum cancels.
//
// Templates only, always inlined (see numerics/elliptic_steps.hpp for why).
#pragma once

#include <cstddef>
#include <span>

#include "models/kernel/disk_derivative_terms.hpp"
#include "models/kernel/far_field_series.hpp"

namespace mirvanta::models {

template <class T>
struct SeriesDerivatives {
    T du, drho;
};

// sum_i c[i] a^i b^(n-i), n = c.size() - 1, by Horner's rule in a with the powers of b carried
// along (as mid_field_series does).
template <class T>
[[gnu::always_inline]] inline T homogeneous_form(std::span<const double> c, T a, T b) {
    T term = c.back();
    T power = 1.0;
    for (std::size_t i = c.size() - 1; i-- > 0;) {
        power = power * b;
        term = term * a + c[i] * power;
    }
    return term;
}

// The first du_terms terms of the dA/du series and the first drho_terms of the dA/drho series.
// The first term left out is below 3e-17 of the sum with the far field's counts for
// u > 1000 rho, and with every term of the tables for u > 20 rho.
template <class T>
[[gnu::always_inline]] inline SeriesDerivatives<T> disk_series_derivatives(T u, T rho, std::size_t du_terms,
                                                                           std::size_t drho_terms) {
    const FarFieldPrefix<T> p = far_field_prefix(u, rho);
    T du_sum = 0.0;
    for (std::size_t k = du_terms; k > 0; --k) {
        du_sum = p.x2 * (homogeneous_form(tables::kDiskDuTerms[k - 1], p.a, p.b) + du_sum);
    }
    T drho_sum = homogeneous_form(tables::kDiskDrhoTerms[drho_terms - 1], p.a, p.b);
    for (std::size_t k = drho_terms - 1; k > 0; --k) {
        drho_sum = homogeneous_form(tables::kDiskDrhoTerms[k - 1], p.a, p.b) + p.x2 * drho_sum;
    }
    const T x = rho / u;
    return {-((p.f / u) * (2.0 + du_sum)), 2.0 * ((p.f * (x / u)) * drho_sum)};
}

// H(m) = 2F1(3/2, 3/2; 3; m) = (16/pi) ((2 - m) K(m) - 2 E(m)) / m^2 for 0 <= m below
// tables::kDiskHSeriesBelow, where the form in K and E cancels (its relative error grows as about
// 64 eps / m^2): the even and the odd coefficients each by Horner's rule in m^2, two independent
// chains, then even + m odd. The terms left out are below 1e-17 of the sum.
template <class T>
[[gnu::always_inline]] inline T h_series(T m) {
    constexpr std::size_t n = tables::kDiskHSeries.size();
    static_assert(n % 2 == 1, "the even chain holds the last coefficient");
    const T m2 = m * m;
    T even = tables::kDiskHSeries[n - 1];
    T odd = tables::kDiskHSeries[n - 2];
    for (std::size_t i = n - 1; i >= 2; i -= 2) {
        even = even * m2 + tables::kDiskHSeries[i - 2];
        if (i >= 3) odd = odd * m2 + tables::kDiskHSeries[i - 3];
    }
    return even + m * odd;
}

}  // namespace mirvanta::models
