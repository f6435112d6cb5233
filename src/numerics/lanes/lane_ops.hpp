// Lane-by-lane helpers for the lane types (sse2.hpp, avx2.hpp): what has no packed instruction is
// done one lane at a time, with the scalar function the scalar code calls.
//
// Templates only, always inlined (see numerics/elliptic_steps.hpp for why).
#pragma once

#include <cstddef>

namespace mirvanta::numerics::lanes {

template <class V>
inline constexpr unsigned kAllLanes = (1u << V::width) - 1u;

template <class V>
[[gnu::always_inline]] inline double lane(V v, std::size_t i) {
    alignas(32) double values[V::width];
    v.store(values);
    return values[i];
}

// v in the lanes whose bit is set in `own` (at least one), the first such lane's value of v in
// the others: lanes whose values are not wanted borrow the arguments of one that is, so that
// every lane runs loops that end.
template <class V>
[[gnu::always_inline]] inline V borrowing(unsigned own, V v) {
    if (own == kAllLanes<V>) return v;
    return select(V::mask(own), v, V(lane(v, static_cast<std::size_t>(__builtin_ctz(own)))));
}

// f(v_i) in the lanes whose bit is set in `which`, v_i unchanged in the others.
template <class V, class F>
[[gnu::always_inline]] inline V each_lane(V v, unsigned which, F f) {
    alignas(32) double values[V::width];
    v.store(values);
    if (which == kAllLanes<V>) {
        for (std::size_t i = 0; i < V::width; ++i) values[i] = f(values[i]);
    } else {
        for (std::size_t i = 0; i < V::width; ++i) {
            if ((which >> i) & 1u) values[i] = f(values[i]);
        }
    }
    return V::load(values);
}

// The maximum that skips NaN entries, lane by lane, as the scalar max_skipping_nan
// (elliptic_steps.hpp) does.
template <class V, class... Rest>
[[gnu::always_inline]] inline V max_skipping_nan(V first, Rest... rest) {
    V result = first;
    ((result = select((rest > result) | (result != result), rest, result)), ...);
    return result;
}

}  // namespace mirvanta::numerics::lanes
