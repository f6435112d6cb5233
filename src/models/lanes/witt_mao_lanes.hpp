// The uniform-disk kernel over a range of separations, a set of lanes at a time (V: a lane type of
// numerics/lanes/). A lane whose form is the general one (disk_form) and whose integrals are in
// their common case is evaluated in the lanes, with the scalar kernel's operations in its order;
// every other lane (other forms, NaN, tiny or negative separations, failing integrals, loop
// limits, results that are not finite) is evaluated by the scalar kernel itself. So every result
// has the bits of witt_mao_magnification_scaled(x rho, rho).
//
// Templates only: each lane file (range_sse2.cpp, range_avx2.cpp) instantiates them for its own
// lane type after switching to its instruction set.
#pragma once

#include <cstddef>

#include "models/disk_forms.hpp"
#include "models/general_form_terms.hpp"
#include "models/witt_mao.hpp"
#include "numerics/elliptic_steps.hpp"
#include "numerics/lanes/lane_ops.hpp"
#include "numerics/lanes/legendre_triple.hpp"

namespace mirvanta::models::lanes {

using numerics::lanes::kAllLanes;

// Separations x[0..count), count <= V::width, into out[0..count) (which may be x itself).
template <class V>
[[gnu::always_inline]] inline void witt_mao_lane_set(const double* x, std::size_t count, double rho, double* out) {
    constexpr std::size_t width = V::width;
    alignas(32) double u[width];
    unsigned general = 0;
    for (std::size_t i = 0; i < width; ++i) {
        u[i] = x[i < count ? i : 0] * rho;
        if (i < count && disk_form(u[i], rho) == DiskForm::general) general |= 1u << i;
    }
    alignas(32) double value[width];
    unsigned done = 0;
    if (general != 0) {
        const V u_lanes = V::load(u);
        const GeneralFormArguments<V> arguments = general_form_arguments(u_lanes, V(rho));
        done = general & numerics::legendre_triple_is_common(arguments.n, arguments.m).bits();
        if (done != 0) {
            // The other lanes borrow the arguments of one that is done here, so that every lane runs
            // loops that end; their values are not used.
            const auto own = V::mask(done);
            const std::size_t some = static_cast<std::size_t>(__builtin_ctz(done));
            const V n = select(own, arguments.n, V(numerics::lanes::lane(arguments.n, some)));
            const V m = select(own, arguments.m, V(numerics::lanes::lane(arguments.m, some)));
            const auto integrals = numerics::lanes::legendre_triple_lanes(n, m, done);
            const V result = general_form_value(u_lanes, arguments, integrals.e, integrals.k, integrals.p);
            done &= ~integrals.failed & (fabs(result) < numerics::kInfinity).bits();
            result.store(value);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = ((done >> i) & 1u) != 0 ? value[i] : witt_mao_magnification_scaled(u[i], rho);
    }
}

// out[i] = witt_mao_magnification_scaled(x[i] rho, rho) for i < count; out may be x itself.
template <class V>
void witt_mao_lane_range(const double* x, std::size_t count, double rho, double* out) {
    constexpr std::size_t width = V::width;
    std::size_t i = 0;
    for (; count - i >= width; i += width) witt_mao_lane_set<V>(x + i, width, rho, out + i);
    if (count - i >= 2) {
        witt_mao_lane_set<V>(x + i, count - i, rho, out + i);
    } else if (count - i == 1) {
        out[i] = witt_mao_magnification_scaled(x[i] * rho, rho);
    }
}

}  // namespace mirvanta::models::lanes
