// The uniform-disk kernel over many arguments, a set of lanes at a time (V: a lane type of
// numerics/lanes/). The arguments are gathered by form into full sets of lanes, wherever they lie
// among the others, and the results scattered back: the general form's (grouped by bins of m, so
// that a set shares its E and K row and runs loops of about the same length), the limb zone's, and
// the two series'. A lane whose integrals leave their common case, or whose value is
// not finite, and every argument of another form (the limb itself, NaN, tiny or negative
// separations, sources too small or too large, rho <= 0) is evaluated by the scalar kernel itself,
// and every lane carries out the scalar kernel's operations in its order. So every result has the
// bits of witt_mao_magnification_scaled(u, rho), whatever the order of the arguments.
//
// Templates only: each lane file (range_sse2.cpp, range_avx2.cpp) instantiates them for its own
// lane type after switching to its instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "models/kernel/disk_derivative_forms.hpp"
#include "models/kernel/disk_derivative_series.hpp"
#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/disk_forms.hpp"
#include "models/kernel/far_field_series.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "models/kernel/witt_mao.hpp"
#include "numerics/elliptic_steps.hpp"
#include "numerics/lanes/lane_ops.hpp"
#include "numerics/lanes/legendre_triple.hpp"

namespace mirvanta::models::lanes {

// The general form in the lanes of (u, rho) whose bit is set in `general` (each of which
// disk_form() puts in the general form). Returns the lanes whose integrals were in their common
// case and whose value is finite, with their values in value[0..width); every other lane is the
// scalar kernel's to evaluate. With derivatives (models/kernel/disk_derivatives.hpp), dA/du and
// dA/drho follow from the same integrals in value[width..2 width) and value[2 width..3 width),
// each lane the operations of witt_mao_derivatives (models/kernel/disk_derivative_forms.hpp), so
// its bits.
template <bool with_derivatives, class V>
[[gnu::always_inline]] inline unsigned witt_mao_general_lanes(V u, V rho, unsigned general, double* value) {
    const GeneralFormArguments<V> arguments = general_form_arguments(u, rho);
    unsigned done = general & numerics::legendre_triple_is_common(arguments.n, arguments.m).bits();
    if (done == 0) return 0;
    // The other lanes borrow the arguments of one that is done here, so that every lane runs
    // loops that end; their values are not used.
    const V n = numerics::lanes::borrowing(done, arguments.n);
    const V m = numerics::lanes::borrowing(done, arguments.m);
    const auto integrals = numerics::lanes::legendre_triple_lanes(n, m, done);
    const V result = general_form_value(u, arguments, integrals.e, integrals.k, integrals.p);
    done &= ~integrals.failed & (fabs(result) < numerics::kInfinity).bits();
    result.store(value);
    if constexpr (with_derivatives) {
        closed_form_du(u, arguments, V(2.0) - arguments.m, integrals.e, integrals.k).store(value + V::width);
        closed_form_drho(rho, arguments, integrals.k, integrals.p, result).store(value + 2 * V::width);
    }
    return done;
}

// The limb zone (models/kernel/limb.cpp) in the lanes of (u, rho) whose bit is set in `limb` (each of
// which disk_form() puts in the limb zone, with u != rho): the general form's arguments and sum,
// with the integrals from the complements 1 - n = ((u - rho)/(u + rho))^2 and 1 - m. Returns the
// lanes whose complements lie in (0, 1), whose integrals were in their common case and whose value
// is finite, with their values (and derivatives) laid out as the general form's; every other lane
// is the scalar kernel's to evaluate.
template <bool with_derivatives, class V>
[[gnu::always_inline]] inline unsigned witt_mao_limb_lanes(V u, V rho, unsigned limb, double* value) {
    const GeneralFormArguments<V> arguments = general_form_arguments(u, rho);
    const Complements<V> complements = general_form_complements(arguments);
    const V one_minus_n = complements.one_minus_n, one_minus_m = complements.one_minus_m;
    unsigned done = limb & (one_minus_n > 0.0).bits() & (one_minus_n < 1.0).bits() & (one_minus_m > 0.0).bits() &
                    (one_minus_m < 1.0).bits();
    if (done == 0) return 0;
    // The other lanes borrow the arguments of one that is done here, as in the general form.
    const V n = numerics::lanes::borrowing(done, arguments.n);
    const V complement_n = numerics::lanes::borrowing(done, one_minus_n);
    const V complement_m = numerics::lanes::borrowing(done, one_minus_m);
    const auto integrals = numerics::lanes::complete_integrals_from_complements_lanes(n, complement_n, complement_m, done);
    const V result = general_form_value(u, arguments, integrals.e, integrals.k, integrals.p);
    done &= ~integrals.failed & (fabs(result) < numerics::kInfinity).bits();
    result.store(value);
    if constexpr (with_derivatives) {
        closed_form_du(u, arguments, V(1.0) + one_minus_m, integrals.e, integrals.k).store(value + V::width);
        closed_form_drho(rho, arguments, integrals.k, integrals.p, result).store(value + 2 * V::width);
    }
    return done;
}

// The two series with their derivatives, as witt_mao_derivatives takes them: the derivative
// series' terms by the form's counts.
template <class V>
[[gnu::always_inline]] inline void witt_mao_series_derivative_lanes(V u, V rho, bool far, double* value) {
    const V result = far ? far_field_series(u, rho) : mid_field_series(u, rho);
    const SeriesDerivatives<V> d =
        far ? disk_series_derivatives(u, rho, tables::kDiskFarFieldDuTerms, tables::kDiskFarFieldDrhoTerms)
            : disk_series_derivatives(u, rho, tables::kDiskDuTerms.size(), tables::kDiskDrhoTerms.size());
    result.store(value);
    d.du.store(value + V::width);
    d.drho.store(value + 2 * V::width);
}

// The groups an argument is gathered into, in the order in which they are evaluated: the general
// form by m, in 40 bins of width 0.025 (two or four to each of E's and K's Taylor rows, which
// 20 m indexes, so that 40 m = 2 (20 m) exactly puts no bin across two rows; four for the AGM's
// 0.9 <= m < 1), so that a set of lanes shares its coefficients and runs its loops for about the
// same number of steps, in whatever order the arguments come; then the limb zone, the two series,
// and the scalar kernel's. (Measured on shuffled separations: 40 bins beat 20 and 80, which leave
// more sets across two bins.)
enum LaneGroup : std::uint8_t {
    kFirstGeneral = 0,
    kGeneralGroups = 40,
    kLimbGroup = kGeneralGroups,
    kMidFieldGroup,
    kFarFieldGroup,
    kScalarGroup,
    kLaneGroups
};

// The group of an argument by its form; the general form's bin is found in lanes, afterwards
// (general_groups). (A template, as everything here, so that no copy compiled for one lane
// file's instruction set can stand in for the other's.)
template <class V>
[[gnu::always_inline]] inline std::uint8_t form_group(double u, double rho) {
    switch (lane_form(u, rho)) {
        case LaneForm::general:
            return kFirstGeneral;
        case LaneForm::limb:
            return kLimbGroup;
        case LaneForm::mid_field:
            return kMidFieldGroup;
        case LaneForm::far_field:
            return kFarFieldGroup;
        default:
            return kScalarGroup;
    }
}

// The groups of the general form's arguments among (u, rho) in a set of lanes, whose other
// groups are left as they are: the bin of m, or the scalar kernel's group outside the integrals'
// common case (where the lanes would leave the argument to the scalar kernel anyway).
template <class V>
[[gnu::always_inline]] inline void general_groups(V u, V rho, std::uint8_t* group) {
    const GeneralFormArguments<V> arguments = general_form_arguments(u, rho);
    const unsigned common = numerics::legendre_triple_is_common(arguments.n, arguments.m).bits();
    alignas(32) double t[V::width];
    (double(kGeneralGroups) * arguments.m).store(t);
    for (std::size_t i = 0; i < V::width; ++i) {
        if (group[i] != kFirstGeneral) continue;
        // 0..39 for 0 <= m < 1
        group[i] = ((common >> i) & 1u) != 0 ? static_cast<std::uint8_t>(t[i]) : std::uint8_t{kScalarGroup};
    }
}

// The scalar kernel, called from lane code: the lanes' registers settled first (V::settle), since
// the kernel is compiled for the baseline.
template <class V>
[[gnu::always_inline]] inline double scalar_kernel(double u, double rho) {
    V::settle();
    return witt_mao_magnification_scaled(u, rho);
}

// The arguments of a chunk: many separations at one source radius (a range), or one separation
// and many radii (the quadratures' nodes).
// u_at and rho_at give one argument; u_of and rho_of a set gathered by index, u_from and rho_from
// the set from position i on.
template <class V>
struct Separations {
    const double* u;
    double rho;
    [[gnu::always_inline]] double u_at(std::size_t i) const { return u[i]; }
    [[gnu::always_inline]] double rho_at(std::size_t) const { return rho; }
    [[gnu::always_inline]] V u_of(const std::uint16_t* index) const { return V::gather(u, index); }
    [[gnu::always_inline]] V rho_of(const std::uint16_t*) const { return V(rho); }
    [[gnu::always_inline]] V u_from(std::size_t i) const { return V::load(u + i); }
    [[gnu::always_inline]] V rho_from(std::size_t) const { return V(rho); }
};

template <class V>
struct Radii {
    double u;
    const double* rho;
    [[gnu::always_inline]] double u_at(std::size_t) const { return u; }
    [[gnu::always_inline]] double rho_at(std::size_t i) const { return rho[i]; }
    [[gnu::always_inline]] V u_of(const std::uint16_t*) const { return V(u); }
    [[gnu::always_inline]] V rho_of(const std::uint16_t* index) const { return V::gather(rho, index); }
    [[gnu::always_inline]] V u_from(std::size_t) const { return V(u); }
    [[gnu::always_inline]] V rho_from(std::size_t i) const { return V::load(rho + i); }
};

// A range's arguments, a chunk at a time (on the stack: 16 KB of copies, 6 KB of groups and
// order). Longer chunks leave fewer sets across two groups: on shuffled separations 2048 took
// 5 % less time than 512.
inline constexpr std::size_t kLaneChunk = 2048;

// What a chunk computes: the values alone (DiskValues), or the values with their derivatives
// (DiskDerivativeValues). Each evaluates a set of lanes of a form into `parts` rows of width
// doubles, keeps lane k of such rows as result i, or has the one-separation kernel compute
// result i.
template <class V>
struct DiskValues {
    static constexpr std::size_t parts = 1;
    double* out;
    [[gnu::always_inline]] unsigned general(V u, V rho, unsigned lanes, double* value) const {
        return witt_mao_general_lanes<false>(u, rho, lanes, value);
    }
    [[gnu::always_inline]] unsigned limb(V u, V rho, unsigned lanes, double* value) const {
        return witt_mao_limb_lanes<false>(u, rho, lanes, value);
    }
    [[gnu::always_inline]] unsigned series(V u, V rho, bool far, unsigned lanes, double* value) const {
        (far ? far_field_series(u, rho) : mid_field_series(u, rho)).store(value);
        return lanes;
    }
    [[gnu::always_inline]] void keep(std::size_t i, const double* value, std::size_t k) const { out[i] = value[k]; }
    [[gnu::always_inline]] void scalar(std::size_t i, double u, double rho) const { out[i] = scalar_kernel<V>(u, rho); }
};

template <class V>
struct DiskDerivativeValues {
    static constexpr std::size_t parts = 3;
    DiskDerivatives* out;
    [[gnu::always_inline]] unsigned general(V u, V rho, unsigned lanes, double* value) const {
        return witt_mao_general_lanes<true>(u, rho, lanes, value);
    }
    [[gnu::always_inline]] unsigned limb(V u, V rho, unsigned lanes, double* value) const {
        return witt_mao_limb_lanes<true>(u, rho, lanes, value);
    }
    [[gnu::always_inline]] unsigned series(V u, V rho, bool far, unsigned lanes, double* value) const {
        witt_mao_series_derivative_lanes(u, rho, far, value);
        return lanes;
    }
    [[gnu::always_inline]] void keep(std::size_t i, const double* value, std::size_t k) const {
        out[i] = {value[k], value[V::width + k], value[2 * V::width + k]};
    }
    [[gnu::always_inline]] void scalar(std::size_t i, double u, double rho) const {
        V::settle();
        out[i] = witt_mao_derivatives(u, rho);
    }
};

// The group of each argument i < count of a chunk: its form, then the general form's bin, a set
// of lanes at a time.
template <class V, class Arguments>
[[gnu::always_inline]] inline void group_chunk(const Arguments& a, std::size_t count, std::uint8_t* group) {
    bool general = false;
    for (std::size_t i = 0; i < count; ++i) {
        group[i] = form_group<V>(a.u_at(i), a.rho_at(i));
        general |= group[i] == kFirstGeneral;
    }
    if (general) {
        for (std::size_t i = 0; i < count; i += V::width) general_groups(a.u_from(i), a.rho_from(i), group + i);
    }
}

// A counting sort of a chunk's arguments by group: order[start[g]..start[g + 1]) the arguments of
// group g, in input order. Long chunks run four interleaved streams, each with counters of its
// own, so that runs of one group (sorted input) do not wait on one counter's store after another;
// short ones (the first runs of a map) one, to keep the fixed cost down. (A template on the lane
// type only so that each lane file has its own copy.)
template <class V>
[[gnu::always_inline]] inline void sort_by_group(const std::uint8_t* group, std::size_t count, std::uint16_t* order,
                                                 std::size_t* start) {
    constexpr std::size_t most_streams = 4;
    const std::size_t streams = count >= 256 ? most_streams : 1;
    std::uint16_t next[most_streams][kLaneGroups];
    for (std::size_t j = 0; j < streams; ++j) {
        for (std::size_t g = 0; g < kLaneGroups; ++g) next[j][g] = 0;
    }
    const std::size_t whole = count - count % streams;
    for (std::size_t i = 0; i < whole; i += streams) {
        for (std::size_t j = 0; j < streams; ++j) ++next[j][group[i + j]];
    }
    for (std::size_t i = whole; i < count; ++i) ++next[0][group[i]];
    std::size_t at = 0;
    for (std::size_t g = 0; g < kLaneGroups; ++g) {
        start[g] = at;
        for (std::size_t j = 0; j < streams; ++j) {
            const std::size_t n = next[j][g];
            next[j][g] = static_cast<std::uint16_t>(at);
            at += n;
        }
    }
    start[kLaneGroups] = at;
    for (std::size_t i = 0; i < whole; i += streams) {
        for (std::size_t j = 0; j < streams; ++j) order[next[j][group[i + j]]++] = static_cast<std::uint16_t>(i + j);
    }
    for (std::size_t i = whole; i < count; ++i) order[next[0][group[i]]++] = static_cast<std::uint16_t>(i);
}

// The arguments order[first..last) in sets of lanes, each set by evaluate(u, rho, lanes, value);
// a set of one, and every lane the set leaves undone, go to the scalar kernel.
template <class V, class Arguments, class Kernel, class Evaluate>
[[gnu::always_inline]] inline void evaluate_in_sets(const Arguments& a, const Kernel& kernel, const std::uint16_t* order,
                                                    std::size_t first, std::size_t last, Evaluate evaluate) {
    constexpr std::size_t width = V::width;
    for (std::size_t i = first; i < last; i += width) {
        const std::size_t filled = last - i < width ? last - i : width;
        if (filled == 1) {
            kernel.scalar(order[i], a.u_at(order[i]), a.rho_at(order[i]));
            continue;
        }
        std::uint16_t index[width];  // beyond `last`, the lanes repeat the first
        for (std::size_t k = 0; k < width; ++k) index[k] = order[i + (k < filled ? k : 0)];
        alignas(32) double value[Kernel::parts * width];
        const unsigned lanes = (1u << filled) - 1u;
        const unsigned done = evaluate(a.u_of(index), a.rho_of(index), lanes, value);
        for (std::size_t k = 0; k < filled; ++k) {
            if (((done >> k) & 1u) != 0) {
                kernel.keep(index[k], value, k);
            } else {
                kernel.scalar(index[k], a.u_at(index[k]), a.rho_at(index[k]));
            }
        }
    }
}

// kernel's result i for (a.u_at(i), a.rho_at(i)), i < count <= kLaneChunk (`a` holds count
// rounded up to whole sets of lanes): the arguments grouped by form, gathered into sets by group,
// each group's sets evaluated and the results scattered back. The output may be the caller's
// input, which `a` holds copies of.
template <class V, class Arguments, class Kernel>
[[gnu::always_inline]] inline void witt_mao_lane_chunk_of(const Arguments& a, std::size_t count, const Kernel& kernel) {
    alignas(32) std::uint8_t group[kLaneChunk];
    std::uint16_t order[kLaneChunk];
    std::size_t start[kLaneGroups + 1] = {};
    group_chunk<V>(a, count, group);
    sort_by_group<V>(group, count, order, start);
    const auto in_group = [&](std::size_t first, std::size_t last, auto evaluate) {
        evaluate_in_sets<V>(a, kernel, order, start[first], start[last], evaluate);
    };
    in_group(kFirstGeneral, kGeneralGroups, [&](V u, V rho, unsigned lanes, double* value) {
        return kernel.general(u, rho, lanes, value);
    });
    in_group(kLimbGroup, kLimbGroup + 1, [&](V u, V rho, unsigned lanes, double* value) {
        return kernel.limb(u, rho, lanes, value);
    });
    in_group(kMidFieldGroup, kMidFieldGroup + 1, [&](V u, V rho, unsigned lanes, double* value) {
        return kernel.series(u, rho, false, lanes, value);
    });
    in_group(kFarFieldGroup, kFarFieldGroup + 1, [&](V u, V rho, unsigned lanes, double* value) {
        return kernel.series(u, rho, true, lanes, value);
    });
    for (std::size_t i = start[kScalarGroup]; i < count; ++i) {
        kernel.scalar(order[i], a.u_at(order[i]), a.rho_at(order[i]));
    }
}

// out[i] = witt_mao_magnification_scaled(a.u_at(i), a.rho_at(i)) for i < count <= kLaneChunk.
template <class V, class Arguments>
[[gnu::always_inline]] inline void witt_mao_lane_chunk(const Arguments& a, std::size_t count, double* out) {
    witt_mao_lane_chunk_of<V>(a, count, DiskValues<V>{out});
}

// out[i] = witt_mao_magnification_scaled(x[i] rho, rho) for i < count; out may be x itself.
template <class V>
void witt_mao_lane_range(const double* x, std::size_t count, double scale, double rho, double* out) {
    if (count == 1) {  // nothing to gather
        out[0] = scalar_kernel<V>(x[0] * scale, rho);
        return;
    }
    alignas(32) double u[kLaneChunk];
    for (std::size_t first = 0; first < count; first += kLaneChunk) {
        const std::size_t n = count - first < kLaneChunk ? count - first : kLaneChunk;
        for (std::size_t i = 0; i < n; ++i) u[i] = x[first + i] * scale;
        for (std::size_t i = n; i % V::width != 0; ++i) u[i] = u[0];  // the last set's spare lanes
        witt_mao_lane_chunk<V>(Separations<V>{u, rho}, n, out + first);
    }
}

// out[i] = witt_mao_magnification_scaled(u, rho[i]) for i < count: one separation, many source
// radii (a quadrature's nodes near a bend alternate between the general form and the limb zone);
// out may be rho itself.
template <class V>
void witt_mao_lane_radii(double u, const double* rho, std::size_t count, double* out) {
    if (count == 1) {
        out[0] = scalar_kernel<V>(u, rho[0]);
        return;
    }
    alignas(32) double radius[kLaneChunk];
    for (std::size_t first = 0; first < count; first += kLaneChunk) {
        const std::size_t n = count - first < kLaneChunk ? count - first : kLaneChunk;
        for (std::size_t i = 0; i < n; ++i) radius[i] = rho[first + i];
        for (std::size_t i = n; i % V::width != 0; ++i) radius[i] = radius[0];  // the last set's spare lanes
        witt_mao_lane_chunk<V>(Radii<V>{u, radius}, n, out + first);
    }
}

// out[i] = witt_mao_derivatives(u[i], rho) for i < count, to the bit.
template <class V>
void witt_mao_derivative_lane_range(const double* u, std::size_t count, double rho, DiskDerivatives* out) {
    if (count == 1) {
        out[0] = witt_mao_derivatives(u[0], rho);
        return;
    }
    alignas(32) double x[kLaneChunk];
    for (std::size_t first = 0; first < count; first += kLaneChunk) {
        const std::size_t n = count - first < kLaneChunk ? count - first : kLaneChunk;
        for (std::size_t i = 0; i < n; ++i) x[i] = u[first + i];
        for (std::size_t i = n; i % V::width != 0; ++i) x[i] = x[0];  // the last set's spare lanes
        witt_mao_lane_chunk_of<V>(Separations<V>{x, rho}, n, DiskDerivativeValues<V>{out + first});
    }
}

// out[i] = witt_mao_derivatives(u, rho[i]) for i < count, to the bit.
template <class V>
void witt_mao_derivative_lane_radii(double u, const double* rho, std::size_t count, DiskDerivatives* out) {
    if (count == 1) {
        out[0] = witt_mao_derivatives(u, rho[0]);
        return;
    }
    alignas(32) double radius[kLaneChunk];
    for (std::size_t first = 0; first < count; first += kLaneChunk) {
        const std::size_t n = count - first < kLaneChunk ? count - first : kLaneChunk;
        for (std::size_t i = 0; i < n; ++i) radius[i] = rho[first + i];
        for (std::size_t i = n; i % V::width != 0; ++i) radius[i] = radius[0];  // the last set's spare lanes
        witt_mao_lane_chunk_of<V>(Radii<V>{u, radius}, n, DiskDerivativeValues<V>{out + first});
    }
}

}  // namespace mirvanta::models::lanes
