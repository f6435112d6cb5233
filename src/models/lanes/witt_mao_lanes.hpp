// The uniform-disk kernel over a range of separations, a set of lanes at a time (V: a lane type of
// numerics/lanes/). A lane whose form is the general one or the limb zone (disk_form) and whose
// integrals are in their common case is evaluated in the lanes, with the scalar kernel's
// operations in its order; every other lane (other forms, the limb itself, NaN, tiny or negative
// separations, failing integrals, loop limits, results that are not finite) is evaluated by the
// scalar kernel itself. So every result has the bits of witt_mao_magnification_scaled(x rho, rho).
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

// The general form in the lanes of (u, rho) whose bit is set in `general` (each of which
// disk_form() puts in the general form). Returns the lanes whose integrals were in their common
// case and whose value is finite, with their values in value[]; every other lane is the scalar
// kernel's to evaluate.
template <class V>
[[gnu::always_inline]] inline unsigned witt_mao_general_lanes(V u, V rho, unsigned general, double* value) {
    const GeneralFormArguments<V> arguments = general_form_arguments(u, rho);
    unsigned done = general & numerics::legendre_triple_is_common(arguments.n, arguments.m).bits();
    if (done == 0) return 0;
    // The other lanes borrow the arguments of one that is done here, so that every lane runs
    // loops that end; their values are not used.
    const auto own = V::mask(done);
    const std::size_t some = static_cast<std::size_t>(__builtin_ctz(done));
    const V n = numerics::lanes::borrowing(own, arguments.n, some);
    const V m = numerics::lanes::borrowing(own, arguments.m, some);
    const auto integrals = numerics::lanes::legendre_triple_lanes(n, m, done);
    const V result = general_form_value(u, arguments, integrals.e, integrals.k, integrals.p);
    done &= ~integrals.failed & (fabs(result) < numerics::kInfinity).bits();
    result.store(value);
    return done;
}

// The limb zone (models/limb.cpp) in the lanes of (u, rho) whose bit is set in `limb` (each of
// which disk_form() puts in the limb zone, with u != rho): the general form's arguments and sum,
// with the integrals from the complements 1 - n = ((u - rho)/(u + rho))^2 and 1 - m. Returns the
// lanes whose complements lie in (0, 1), whose integrals were in their common case and whose value
// is finite, with their values in value[]; every other lane is the scalar kernel's to evaluate.
template <class V>
[[gnu::always_inline]] inline unsigned witt_mao_limb_lanes(V u, V rho, unsigned limb, double* value) {
    const GeneralFormArguments<V> arguments = general_form_arguments(u, rho);
    const Complements<V> complements = general_form_complements(arguments);
    const V one_minus_n = complements.one_minus_n, one_minus_m = complements.one_minus_m;
    unsigned done = limb & (one_minus_n > 0.0).bits() & (one_minus_n < 1.0).bits() & (one_minus_m > 0.0).bits() &
                    (one_minus_m < 1.0).bits();
    if (done == 0) return 0;
    // The other lanes borrow the arguments of one that is done here, as in the general form.
    const auto own = V::mask(done);
    const std::size_t some = static_cast<std::size_t>(__builtin_ctz(done));
    const V n = numerics::lanes::borrowing(own, arguments.n, some);
    const V complement_n = numerics::lanes::borrowing(own, one_minus_n, some);
    const V complement_m = numerics::lanes::borrowing(own, one_minus_m, some);
    const auto integrals = numerics::lanes::complete_integrals_from_complements_lanes(n, complement_n, complement_m, done);
    const V result = general_form_value(u, arguments, integrals.e, integrals.k, integrals.p);
    done &= ~integrals.failed & (fabs(result) < numerics::kInfinity).bits();
    result.store(value);
    return done;
}

// Separations x[0..count), count <= V::width, into out[0..count) (which may be x itself).
template <class V>
[[gnu::always_inline]] inline void witt_mao_lane_set(const double* x, std::size_t count, double rho, double* out) {
    constexpr std::size_t width = V::width;
    alignas(32) double u[width];
    unsigned general = 0, limb = 0;
    for (std::size_t i = 0; i < width; ++i) {
        u[i] = x[i < count ? i : 0] * rho;
        if (i >= count) continue;
        const LaneForm form = lane_form(u[i], rho);
        if (form == LaneForm::general) general |= 1u << i;
        if (form == LaneForm::limb) limb |= 1u << i;
    }
    alignas(32) double value[width];
    unsigned done = general != 0 ? witt_mao_general_lanes(V::load(u), V(rho), general, value) : 0u;
    if (limb != 0) {
        // Separations across the limb: the limb zone's lanes, in a pass of their own.
        alignas(32) double limb_value[width] = {};
        const unsigned limb_done = witt_mao_limb_lanes(V::load(u), V(rho), limb, limb_value);
        for (std::size_t i = 0; i < count; ++i) {
            if (((limb_done >> i) & 1u) != 0) value[i] = limb_value[i];
        }
        done |= limb_done;
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

// out[i] = witt_mao_magnification_scaled(u, rho[i]) for i < count: one separation, many source
// radii; out may be rho itself. The radii of the general form, and those of the limb zone, are
// gathered into full sets of lanes of their own, wherever they lie among the others (a
// quadrature's nodes near a bend alternate between the general form and the limb zone); every
// other radius goes to the scalar kernel at once.
template <class V>
void witt_mao_lane_radii(double u, const double* rho, std::size_t count, double* out) {
    constexpr std::size_t width = V::width;
    struct Gathered {
        alignas(32) double set[width];
        std::size_t where[width];
        std::size_t filled = 0;
    };
    Gathered general, limb;
    const auto evaluate = [&](Gathered& g, bool limb_zone) {
        for (std::size_t i = g.filled; i < width; ++i) g.set[i] = g.set[0];
        alignas(32) double value[width];
        const unsigned lanes = (1u << g.filled) - 1u;
        const unsigned done = limb_zone ? witt_mao_limb_lanes(V(u), V::load(g.set), lanes, value)
                                        : witt_mao_general_lanes(V(u), V::load(g.set), lanes, value);
        for (std::size_t i = 0; i < g.filled; ++i) {
            out[g.where[i]] = ((done >> i) & 1u) != 0 ? value[i] : witt_mao_magnification_scaled(u, g.set[i]);
        }
        g.filled = 0;
    };
    const auto gather = [&](Gathered& g, bool limb_zone, double radius, std::size_t i) {
        g.set[g.filled] = radius;
        g.where[g.filled] = i;
        if (++g.filled == width) evaluate(g, limb_zone);
    };
    for (std::size_t i = 0; i < count; ++i) {
        const double radius = rho[i];
        const LaneForm form = lane_form(u, radius);
        if (form == LaneForm::general) {
            gather(general, false, radius, i);
        } else if (form == LaneForm::limb) {
            gather(limb, true, radius, i);
        } else {
            out[i] = witt_mao_magnification_scaled(u, radius);
        }
    }
    for (const bool limb_zone : {false, true}) {
        Gathered& g = limb_zone ? limb : general;
        if (g.filled >= 2) {
            evaluate(g, limb_zone);
        } else if (g.filled == 1) {
            out[g.where[0]] = witt_mao_magnification_scaled(u, g.set[0]);
        }
    }
}

}  // namespace mirvanta::models::lanes
