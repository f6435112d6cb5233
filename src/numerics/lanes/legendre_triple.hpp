// E(m), K(m) and Pi(n, m) of numerics/legendre_triple.hpp for a set of lanes, in the common case
// only: each lane carries out the operations of the scalar code in the same order, and loops that
// end after different numbers of steps in different lanes are run until the last lane ends, each
// lane's values frozen from the step at which its scalar loop would have ended. atan and pow are
// the C library's, called lane by lane.
//
// Templates only, always inlined (see numerics/elliptic_steps.hpp for why).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "numerics/constants.hpp"
#include "numerics/elliptic_steps.hpp"
#include "numerics/lanes/lane_ops.hpp"
#include "numerics/taylor_rows.hpp"

namespace mirvanta::numerics::lanes {

// A lane whose E's AGM series has not converged after this many steps is given up (the scalar
// series, which has no limit, converges within about ten for 0.9 <= m < 1).
inline constexpr int kLaneAgmLimit = 64;

template <class V>
struct LaneTriple {
    V e, k, p;
    unsigned failed;  // lanes to evaluate with the scalar code instead
};

namespace detail {

// Coefficient `at` of each lane's row.
template <class V>
[[gnu::always_inline]] inline V taylor_column(const TaylorMatrix& matrix, const std::size_t (&rows)[V::width], std::size_t at) {
    alignas(32) double values[V::width];
    for (std::size_t i = 0; i < V::width; ++i) values[i] = matrix[rows[i]][at];
    return V::load(values);
}

// E and K by Horner's rule in each lane's own row (rows[i]), the K row's length in each; a lane
// whose row is shorter than the longest runs through its zero padding first (taylor_rows.hpp).
template <class V>
[[gnu::always_inline]] inline void taylor_lanes(V m, const std::size_t (&rows)[V::width], V& e, V& k) {
    constexpr std::size_t width = V::width;
    alignas(32) double centre[width];
    std::size_t length = 0;
    bool one_row = true;
    for (std::size_t i = 0; i < width; ++i) {
        centre[i] = tables::kCentres[rows[i]];
        length = kTaylorRows.degree[rows[i]] > length ? kTaylorRows.degree[rows[i]] : length;
        one_row = one_row && rows[i] == rows[0];
    }
    const V x = m - V::load(centre);
    std::size_t j = length;
    if (one_row) {
        const auto& k_row = kTaylorRows.k[rows[0]];
        const auto& e_row = kTaylorRows.e[rows[0]];
        V k_sum = k_row[j], e_sum = e_row[j];
        while (j-- > 0) {
            k_sum = k_sum * x + V(k_row[j]);
            e_sum = e_sum * x + V(e_row[j]);
        }
        e = e_sum;
        k = k_sum;
        return;
    }
    V k_sum = taylor_column<V>(kTaylorRows.k, rows, j), e_sum = taylor_column<V>(kTaylorRows.e, rows, j);
    while (j-- > 0) {
        k_sum = k_sum * x + taylor_column<V>(kTaylorRows.k, rows, j);
        e_sum = e_sum * x + taylor_column<V>(kTaylorRows.e, rows, j);
    }
    e = e_sum;
    k = k_sum;
}

// The AGM from (1, g) for K (pair after at most 10 steps), RF (at most 11) and, in the lanes of
// `series`, E's series (until it converges); the other lanes stop once RF has its pair.
template <class V>
struct SharedAgmLanes {
    V k_a, k_g, rf_a, rf_g, a, g, sum;
    unsigned failed;
};

template <class V>
[[gnu::always_inline]] inline SharedAgmLanes<V> shared_agm_lanes(V g, unsigned series) {
    SharedAgmLanes<V> out{1.0, g, 1.0, g, 1.0, g, 0.0, 0u};
    V weight = 0.25;
    unsigned k_open = kAllLanes<V>, rf_open = kAllLanes<V>, running = kAllLanes<V>;
    for (int step = 0;; ++step) {
        const unsigned converged = (fabs(out.a - out.g) < kAgmTolerance * fabs(out.a)).bits();
        const unsigned take_k = k_open & (step == 10 ? kAllLanes<V> : converged);
        out.k_a = select(V::mask(take_k), out.a, out.k_a);
        out.k_g = select(V::mask(take_k), out.g, out.k_g);
        k_open &= ~take_k;
        const unsigned take_rf = rf_open & (step == 11 ? kAllLanes<V> : converged);
        out.rf_a = select(V::mask(take_rf), out.a, out.rf_a);
        out.rf_g = select(V::mask(take_rf), out.g, out.rf_g);
        rf_open &= ~take_rf;
        running &= ~converged & (series | rf_open);
        if (running == 0) break;
        if (step == kLaneAgmLimit) {
            out.failed = running;
            break;
        }
        const auto moving = V::mask(running);
        const V next_a = (out.a + out.g) / 2.0;
        const V next_g = sqrt(out.a * out.g);
        weight = 2.0 * weight;
        const V gap = next_a - next_g;
        out.sum = select(moving, out.sum + weight * (gap * gap), out.sum);
        out.a = select(moving, next_a, out.a);
        out.g = select(moving, next_g, out.g);
    }
    return out;
}

// RJ(0, y, 1, p) as elliprj_0y1p computes it, in two passes: first the duplication's chain of
// square roots, which does not depend on the RC terms, recording each step's D, e and f and the
// lanes still in it; then the RC terms, whose calls of atan are independent of each other and
// can overlap, summed into sigma in the order of the steps, as the scalar loop sums them. A lane
// whose RC term would need another branch than e >= 0, or whose loop reaches its limit, fails.
template <class V>
struct RjStepLanes {
    V d, e, f;
    unsigned lanes;
};

template <class V>
struct RjChainLanes {
    RjStart<V> start;
    RjState<V> state;  // where each lane stopped
    RjStepLanes<V> steps[100];
    int count;
};

template <class V>
[[gnu::always_inline]] inline void rj_0y1p_chain(RjChainLanes<V>& chain, V y, V p, unsigned& failed) {
    chain.start = rj_0y1p_start(y, p);
    RjState<V>& s = chain.state;
    s = chain.start.state;
    RjRoots<V> r = chain.start.roots;
    unsigned running = kAllLanes<V>;
    for (int step = 1;; ++step) {
        const unsigned other = running & ~((r.e > 0.0) | (r.e == 0.0)).bits();
        failed |= other;
        running &= ~other;
        chain.steps[step - 1] = {r.d, r.e, s.f, running};
        chain.count = step;
        RjState<V> next = s;
        const V lambda = rj_move_mean(next, r);
        const auto moving = V::mask(running);
        s.a = select(moving, next.a, s.a);
        s.f = select(moving, next.f, s.f);
        running &= ~(chain.start.q * s.f < s.a).bits();
        if (running == 0) break;
        if (step == 100) {
            failed |= running;
            break;
        }
        next = s;
        rj_advance(next, lambda);
        const auto advancing = V::mask(running);
        s.x = select(advancing, next.x, s.x);
        s.y = select(advancing, next.y, s.y);
        s.z = select(advancing, next.z, s.z);
        s.p = select(advancing, next.p, s.p);
        s.delta = select(advancing, next.delta, s.delta);
        r = rj_roots(s);
    }
}

// Lanes outside `calls` take part in the arithmetic but not in the calls of atan and pow (their
// results are not used).
template <class V>
[[gnu::always_inline]] inline V rj_0y1p_finish(RjChainLanes<V>& chain, V y, unsigned calls, unsigned failed) {
    V sigma = 0.0;
    for (int k = 0; k < chain.count; ++k) {
        const RjStepLanes<V>& step = chain.steps[k];
        const auto positive = step.e > 0.0;
        const V root = sqrt(step.e);
        const V arctangent = each_lane(root, step.lanes & positive.bits() & calls, [](double x) { return std::atan(x); });
        const V rc_term = select(positive, arctangent / root, V(1.0));
        sigma = select(V::mask(step.lanes), rj_add_rc_term(sigma, step.f, step.d, rc_term), sigma);
    }
    chain.state.sigma = sigma;
    const V a_pow = each_lane(chain.state.a, calls & ~failed, [](double a) { return std::pow(a, -1.5); });
    return rj_result(chain.start.a0, V(0.0), y, V(1.0), chain.state, a_pow);
}

}  // namespace detail

// Every lane must be in the common case (legendre_triple_is_common); the lanes in `calls` are the
// ones whose values are wanted.
template <class V>
[[gnu::always_inline]] inline LaneTriple<V> legendre_triple_lanes(V n, V m, unsigned calls) {
    constexpr std::size_t width = V::width;
    LaneTriple<V> out{};
    const V y = 1.0 - m;
    const V root = sqrt(y);
    // RJ's chain first, the longest; E, K and RF do not depend on it.
    detail::RjChainLanes<V> rj;
    detail::rj_0y1p_chain(rj, y, 1.0 - n, out.failed);

    alignas(32) double t[width];
    (20.0 * m).store(t);
    std::size_t rows[width];
    unsigned polynomial = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const auto index = static_cast<std::int64_t>(t[i]);  // 0..19 for 0 <= m < 1
        if (index <= 17) {
            polynomial |= 1u << i;
            rows[i] = taylor_row(index);
        }
    }
    if (polynomial != 0) {  // the other lanes borrow a polynomial lane's row
        const std::size_t some_row = rows[__builtin_ctz(polynomial)];
        for (std::size_t i = 0; i < width; ++i) {
            if (((polynomial >> i) & 1u) == 0) rows[i] = some_row;
        }
        detail::taylor_lanes(m, rows, out.e, out.k);
    }
    const unsigned series = kAllLanes<V> & ~polynomial;
    const detail::SharedAgmLanes<V> mean = detail::shared_agm_lanes(root, series);
    out.failed |= mean.failed;
    if (series != 0) {
        const V first = 1.0 + root;
        const V e = ((first * first) / 4.0 - mean.sum) * kPi / (mean.a + mean.g);
        const V k = kPi / (mean.k_a + mean.k_g);
        const auto from_series = V::mask(series);
        out.e = select(from_series, e, out.e);
        out.k = select(from_series, k, out.k);
    }
    out.p = kPi / (mean.rf_a + mean.rf_g) + n * detail::rj_0y1p_finish(rj, y, calls, out.failed) / 3.0;
    out.failed |= ~(fabs(out.p) < kInfinity).bits() & kAllLanes<V>;
    return out;
}

}  // namespace mirvanta::numerics::lanes
