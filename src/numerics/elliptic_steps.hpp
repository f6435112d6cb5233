// The steps of the elliptic integrals' iterations, and their loop control, written once for a
// double and for a set of lanes (numerics/lanes/), so that the scalar code and the lanes carry out
// exactly the same operations in the same order, and a change to a step or to a loop's limit or
// stopping test reaches both: the arithmetic-geometric mean (K, E's series, RF(0, y, z) and
// RD(0, y, z)), Carlson's RJ duplication (DLMF 19.36.1) and the test for the common case of the
// uniform-disk kernel. T is double or a lane type with the same operators; sqrt and fabs are found
// by argument-dependent lookup; numerics/lane_control.hpp says how lanes leave a loop. What
// differs between the two is the RC term of an RJ step, which the callers give: the scalar code
// takes each of its branches, the lanes only that of e >= 0, with atan called lane by lane.
//
// Templates only, always inlined: the lane files include this after switching to their
// instruction set, and no out-of-line copy compiled for one instruction set may stand in for
// another's.
#pragma once

#include <cmath>

#include "numerics/constants.hpp"
#include "numerics/lane_control.hpp"

namespace mirvanta::numerics {

// The maximum that skips NaN entries (NaN only when every entry is NaN), as fmax does, inline.
// The entries it is given are never zeros of both signs at once (absolute values, or differences
// from a mean that is not -0), so which zero fmax would return does not arise. Lane types have
// their own, found by argument-dependent lookup.
template <class... Rest>
[[gnu::always_inline]] inline double max_skipping_nan(double first, Rest... rest) {
    double result = first;
    ((result = (rest > result || std::isnan(result)) ? rest : result), ...);
    return result;
}

// The arithmetic-geometric mean of a and g, with the sum of 2^(k-2) (a_k - g_k)^2 over its steps
// that the series for RG(0, a0^2, g0^2) needs (DLMF 19.22.9): `weight` is the next step's 2^(k-2)
// halved.
template <class T>
struct AgmSteps {
    T a, g, sum, weight;
};

template <class T>
[[gnu::always_inline]] inline AgmSteps<T> agm_start(T a, T g) {
    return {a, g, T(0.0), T(0.25)};
}

// |a - g| < 2.7 eps |a|: the pair holds the mean, a + g being twice it.
template <class T>
[[gnu::always_inline]] inline auto agm_converged(const AgmSteps<T>& s) {
    using std::fabs;
    return fabs(s.a - s.g) < kAgmTolerance * fabs(s.a);
}

// (a, g) <- ((a + g)/2, sqrt(a g)), both from the old pair.
template <class T>
[[gnu::always_inline]] inline void agm_step(AgmSteps<T>& s) {
    using std::sqrt;
    const T next_a = (s.a + s.g) / 2.0;
    s.g = sqrt(s.a * s.g);
    s.a = next_a;
}

// The step and its term of the series, from the new pair.
template <class T>
[[gnu::always_inline]] inline void agm_series_step(AgmSteps<T>& s) {
    agm_step(s);
    s.weight = 2.0 * s.weight;
    const T gap = s.a - s.g;
    s.sum = s.sum + s.weight * (gap * gap);
}

// Steps each lane (with `step`, one of the two above) until it has converged, at most `limit`
// times; a lane that stops keeps its pair and sum. Returns the lanes that reached the limit
// without converging (for a double: whether it did), which K and RF take as they are.
template <class T, class Step>
[[gnu::always_inline]] inline Running<T> agm_loop(AgmSteps<T>& s, int limit, Step step) {
    using Control = LaneControl<T>;
    Running<T> running = Control::kAll;
    for (int done = 0;; ++done) {
        running = Control::leave(running, agm_converged(s));
        if (!Control::any(running) || done == limit) return running;
        AgmSteps<T> next = s;
        step(next);
        const auto moving = Control::moving(running);
        s = {Control::keep(moving, next.a, s.a), Control::keep(moving, next.g, s.g),
             Control::keep(moving, next.sum, s.sum), Control::keep(moving, next.weight, s.weight)};
    }
}

// E's series and RD(0, y, z) have no step limit: they step while |a - g| >= 2.7 eps |a|, a test
// that NaN fails, so that a NaN pair ends the loop (for finite pairs it is agm_loop's test
// negated). Only the scalar code runs it; the lanes' AGM stops at 10 steps and leaves a lane that
// has not converged by then to the scalar code.
template <class Step>
[[gnu::always_inline]] inline void agm_loop_unlimited(AgmSteps<double>& s, Step step) {
    while (std::fabs(s.a - s.g) >= kAgmTolerance * std::fabs(s.a)) step(s);
}

// Whether E(m), K(m) and Pi(n, m) all take their common path: 0 <= m < 1 (so E and K are a
// polynomial or an AGM and never fail), 0 < n <= 1 - eps with n != m (so Pi is
// RF(0, 1 - m, 1) + n RJ(0, 1 - m, 1, 1 - n) / 3), and neither 1 - m nor 1 - n is 1 (so RF takes
// its AGM and RJ its duplication). False for NaN. A bool for a double, a mask for lanes.
template <class T>
[[gnu::always_inline]] inline auto legendre_triple_is_common(T n, T m) {
    return (m >= 0.0) & (m < 1.0) & (n > 0.0) & (n <= 1.0 - kEpsilon) & (n != m) & ((1.0 - m) != 1.0) &
           ((1.0 - n) != 1.0);
}

// Stopping factor (eps/5)^(-1/8) of the RJ duplication.
inline constexpr double kRjStop = 110.67925377307274;

// The arguments after some steps, the mean A, the factor f = 4^-k and the sum sigma of the RC terms.
template <class T>
struct RjState {
    T x, y, z, p, delta, a, f, sigma;
};

// The square roots of a step, the product D and the argument e of its RC(1, 1 + e).
template <class T>
struct RjRoots {
    T rx, ry, rz, rp, d, e;
};

template <class T>
[[gnu::always_inline]] inline void rj_product(RjRoots<T>& r, const RjState<T>& s) {
    r.d = (r.rp + r.rx) * (r.rp + r.ry) * (r.rp + r.rz);
    r.e = s.delta / (r.d * r.d);
}

template <class T>
[[gnu::always_inline]] inline RjRoots<T> rj_roots(const RjState<T>& s) {
    using std::sqrt;
    RjRoots<T> r;
    r.rx = sqrt(s.x);
    r.ry = sqrt(s.y);
    r.rz = sqrt(s.z);
    r.rp = sqrt(s.p);
    rj_product(r, s);
    return r;
}

// sigma plus a step's RC term, weighted with the step's f and D.
template <class T>
[[gnu::always_inline]] inline T rj_add_rc_term(T sigma, T f, T d, T rc_term) {
    return sigma + f / d * rc_term;
}

// Moves the mean and the factor on after a step, which adds its RC term to sigma first (nothing
// here depends on sigma); returns lambda. The loop stops after this step when q f < A.
template <class T>
[[gnu::always_inline]] inline T rj_move_mean(RjState<T>& s, const RjRoots<T>& r) {
    const T lambda = r.rx * r.ry + r.rx * r.rz + r.ry * r.rz;
    s.a = (s.a + lambda) / 4.0;
    s.f = s.f / 4.0;
    return lambda;
}

// The arguments of the next step.
template <class T>
[[gnu::always_inline]] inline void rj_advance(RjState<T>& s, T lambda) {
    s.x = (s.x + lambda) / 4.0;
    s.y = (s.y + lambda) / 4.0;
    s.z = (s.z + lambda) / 4.0;
    s.p = (s.p + lambda) / 4.0;
    s.delta = s.delta / 64.0;
}

// The RJ duplication loop from the state before the first step and that step's roots, the
// mean's stopping factor q given: each step adds its RC term, rc_term(roots, state, running), to
// sigma and moves the mean; a lane stops after the step at which q f < A, and keeps its state.
// rc_term may take lanes out of `running` (the lanes leave lanes whose term they do not compute
// to the scalar code; those keep the state they had). Returns the lanes that ended the 100th step
// without stopping (for a double: whether it did), whose value is NaN.
template <class T, class RcTerm>
[[gnu::always_inline]] inline Running<T> rj_duplicate(RjState<T>& s, T q, RjRoots<T> r, Running<T> running,
                                                      RcTerm rc_term) {
    using Control = LaneControl<T>;
    for (int step = 1;; ++step) {
        const T term = rc_term(r, s, running);
        RjState<T> next = s;
        next.sigma = rj_add_rc_term(s.sigma, s.f, r.d, term);
        const T lambda = rj_move_mean(next, r);
        auto moving = Control::moving(running);
        s.sigma = Control::keep(moving, next.sigma, s.sigma);
        s.a = Control::keep(moving, next.a, s.a);
        s.f = Control::keep(moving, next.f, s.f);
        running = Control::leave(running, q * s.f < s.a);
        if (!Control::any(running) || step == 100) return running;
        next = s;
        rj_advance(next, lambda);
        moving = Control::moving(running);
        s.x = Control::keep(moving, next.x, s.x);
        s.y = Control::keep(moving, next.y, s.y);
        s.z = Control::keep(moving, next.z, s.z);
        s.p = Control::keep(moving, next.p, s.p);
        s.delta = Control::keep(moving, next.delta, s.delta);
        r = rj_roots(s);
    }
}

// The seventh-order correction series shared by RD and RJ.
template <class T>
[[gnu::always_inline]] inline T rd_rj_series(T e2, T e3, T e4, T e5) {
    return 1.0 - 3.0 * e2 / 14.0 + e3 / 6.0 + 9.0 * e2 * e2 / 88.0 - 3.0 * e4 / 22.0 - 9.0 * e2 * e3 / 52.0 +
           3.0 * e5 / 26.0 - e2 * e2 * e2 / 16.0 + 3.0 * e3 * e3 / 40.0 + 3.0 * e2 * e4 / 20.0 +
           45.0 * e2 * e2 * e3 / 272.0 - 9.0 * (e3 * e4 + e2 * e5) / 68.0;
}

// RJ from the state where the loop stopped; (x0, y0, z0) are the arguments it started from and
// a_pow = A^(-3/2) (from pow, which the lanes call lane by lane).
template <class T>
[[gnu::always_inline]] inline T rj_result(T a0, T x0, T y0, T z0, const RjState<T>& s, T a_pow) {
    const T dx = (a0 - x0) * s.f / s.a;
    const T dy = (a0 - y0) * s.f / s.a;
    const T dz = (a0 - z0) * s.f / s.a;
    const T dp = (-dx - dy - dz) / 2.0;
    const T e2 = dx * dy + dx * dz + dy * dz - 3.0 * dp * dp;
    const T e3 = dx * dy * dz + 2.0 * e2 * dp + 4.0 * dp * dp * dp;
    const T e4 = (2.0 * dx * dy * dz + e2 * dp + 3.0 * dp * dp * dp) * dp;
    const T e5 = dx * dy * dz * dp * dp;
    return s.f * a_pow * rd_rj_series(e2, e3, e4, e5) + 6.0 * s.sigma;
}

// RJ(0, y, 1, p), as the third kind needs it, up to the first step's RC term: the state before
// that step, its a0 and q, and its roots. x = 0 drops out of the sums exactly (0 + y = y,
// p - 0 = p, a0 - 0 = a0 for the positive y, p and a0 this is used with), and the square roots
// of 0 and 1 are exact; the remaining operations are those of the general duplication.
template <class T>
struct RjStart {
    T a0, q;
    RjState<T> state;
    RjRoots<T> roots;
};

template <class T>
[[gnu::always_inline]] inline RjStart<T> rj_0y1p_start(T y, T p) {
    using std::fabs;
    using std::sqrt;
    RjStart<T> start;
    start.a0 = (y + 1.0 + 2.0 * p) / 5.0;
    start.q = kRjStop * max_skipping_nan(fabs(start.a0), fabs(start.a0 - y), fabs(start.a0 - 1.0), fabs(start.a0 - p));
    start.state = RjState<T>{0.0, y, 1.0, p, p * (p - y) * (p - 1.0), start.a0, 1.0, 0.0};
    start.roots.rx = 0.0;
    start.roots.ry = sqrt(y);
    start.roots.rz = 1.0;
    start.roots.rp = sqrt(p);
    rj_product(start.roots, start.state);
    return start;
}

}  // namespace mirvanta::numerics
