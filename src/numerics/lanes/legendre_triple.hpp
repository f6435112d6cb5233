// E(m), K(m) and Pi(n, m) of numerics/legendre_triple.hpp for a set of lanes, in the common case
// only: each lane carries out the operations of the scalar code in the same order, on the steps and
// loops that the scalar code runs too (numerics/elliptic_steps.hpp); loops that end after
// different numbers of steps in different lanes run until the last lane ends, each lane's values
// kept from the step at which its scalar loop ends. atan and pow are the C library's, called lane
// by lane. A lane that would leave the paths followed here is reported as failed, for the scalar
// code to evaluate.
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

// The AGM from (1, g) with E's series, each lane until it has converged (agm_loop). The scalar K
// stops after at most 10 steps, RF after at most 11 and E's series has no limit, but from
// (1, sqrt(1 - m)) with 0 <= m < 1 the AGM converges within about 8, so the three take the same
// pair; from the limb zone's 1 - m, down to about 1e-33, within 9. A lane that has not converged
// after 10 steps fails.
// Without the series (only K or RF wanted), its sum is not formed.
template <class V>
[[gnu::always_inline]] inline AgmSteps<V> agm_lanes(V g, unsigned& failed, bool series = true) {
    AgmSteps<V> mean = agm_start(V(1.0), g);
    if (series) {
        failed |= agm_loop(mean, 10, [](AgmSteps<V>& next) { agm_series_step(next); });
    } else {
        failed |= agm_loop(mean, 10, [](AgmSteps<V>& next) { agm_step(next); });
    }
    return mean;
}

// RJ(0, y, 1, p) as elliprj_0y1p computes it, on the same loop (rj_duplicate). Lanes outside
// `calls` take part in the arithmetic but not in the calls of atan and pow (their values are not
// used). A lane whose RC term would need another branch than e >= 0, or whose loop reaches its
// limit, fails.
template <class V>
[[gnu::always_inline]] inline V rj_0y1p_lanes(V y, V p, unsigned calls, unsigned& failed) {
    RjStart<V> start = rj_0y1p_start(y, p);
    const auto rc_term = [&failed, calls](const RjRoots<V>& r, const RjState<V>&, unsigned& running) {
        const unsigned other = running & ~(r.e >= 0.0).bits();  // e < 0 or NaN
        failed |= other;
        running &= ~other;
        const auto positive = r.e > 0.0;
        const V root = sqrt(r.e);
        const V arctangent = each_lane(root, running & positive.bits() & calls, [](double x) { return std::atan(x); });
        return select(positive, arctangent / root, V(1.0));
    };
    failed |= rj_duplicate(start.state, start.q, start.roots, LaneControl<V>::kAll, rc_term);
    const RjState<V>& s = start.state;
    const V a_pow = each_lane(s.a, calls & ~failed, [](double a) { return std::pow(a, -1.5); });
    return rj_result(start.a0, V(0.0), y, V(1.0), s, a_pow);
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
    // K and RF by the AGM are both pi / (a + g) of the same pair; E's series only above 0.9.
    const AgmSteps<V> mean = detail::agm_lanes(root, out.failed, polynomial != kAllLanes<V>);
    const V rf = kPi / (mean.a + mean.g);
    if (polynomial != kAllLanes<V>) {
        const V first = 1.0 + root;
        const V e = ((first * first) / 4.0 - mean.sum) * kPi / (mean.a + mean.g);
        const auto from_series = V::mask(kAllLanes<V> & ~polynomial);
        out.e = select(from_series, e, out.e);
        out.k = select(from_series, rf, out.k);
    }
    out.p = rf + n * detail::rj_0y1p_lanes(y, 1.0 - n, calls, out.failed) / 3.0;
    out.failed |= ~(fabs(out.p) < kInfinity).bits() & kAllLanes<V>;
    return out;
}

// E(m), K(m) and Pi(n, m) from n and the complements 1 - n and 1 - m, as
// complete_integrals_from_complements (numerics/elliptic.hpp) computes them, for lanes whose
// 1 - n and 1 - m are in (0, 1) (where its RJ(0, 1 - m, 1, 1 - n) has the bits of
// elliprj_0y1p's): the AGM with E's series gives K and E, and Pi adds RJ's term to K. The lanes in
// `calls` are the ones whose values are wanted.
template <class V>
[[gnu::always_inline]] inline LaneTriple<V> complete_integrals_from_complements_lanes(V n, V one_minus_n, V one_minus_m,
                                                                                     unsigned calls) {
    LaneTriple<V> out{};
    const V root = sqrt(one_minus_m);
    const AgmSteps<V> mean = detail::agm_lanes(root, out.failed);
    out.k = kPi / (mean.a + mean.g);
    const V first = 1.0 + root;
    out.e = ((first * first) / 4.0 - mean.sum) * out.k;
    out.p = out.k + n * detail::rj_0y1p_lanes(one_minus_m, one_minus_n, calls, out.failed) / 3.0;
    out.failed |= ~(fabs(out.p) < kInfinity).bits() & kAllLanes<V>;
    return out;
}

}  // namespace mirvanta::numerics::lanes
