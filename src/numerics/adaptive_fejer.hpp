// A globally adaptive quadrature over a few pieces of [0, 1] per segment, each piece integrated by
// the nested Fejer rules of orders 8, 16 and 32 (numerics/fejer_tables.hpp) and bisected when
// order 32 is not enough. The integrand is given for many points at once, so that a caller can
// evaluate all the new points of a round together (e.g. on SIMD lanes). Allocates nothing.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "numerics/fejer_tables.hpp"

namespace mirvanta::numerics {

// A piece [lo, hi] of segment `segment`'s variable; the caller's segments are its own business.
struct FejerPiece {
    unsigned segment;
    double lo, hi;
};

struct FejerResult {
    double integral = 0.0;
    double estimate = 0.0;  // estimated absolute error
    bool converged = true;
    unsigned evaluations = 0;
};

struct FejerLimits {
    std::size_t most_pieces = 96;   // at most this many pieces at once (capacity of the work space)
    unsigned most_evaluations = 4000;
};

namespace detail {

inline constexpr std::size_t kFejerPointsTotal = tables::kFejerPoints.size();  // 63
inline constexpr int kFirstLevel = 2;  // order 8
inline constexpr int kLastLevel = 4;   // order 32
inline constexpr std::size_t kFejerCapacity = 96;

// The step, in the finest grid's indices, between the points of level l (order 2^(l + 1)).
constexpr std::size_t fejer_stride(int level) { return std::size_t{64} >> (level + 1); }

struct FejerWork {
    FejerPiece piece;
    int level;
    double values[kFejerPointsTotal];
    double rule[kLastLevel + 1];  // the rule of each level reached
    double estimate;
};

// The rule of `level` over the piece, from its values (its length not yet applied).
inline double fejer_rule(const FejerWork& w, int level) {
    const std::size_t stride = fejer_stride(level);
    const auto& weights = tables::kFejerWeights[static_cast<std::size_t>(level)];
    double sum = 0.0;
    for (std::size_t i = stride - 1; i < kFejerPointsTotal; i += stride) sum = sum + weights[i] * w.values[i];
    return sum * (w.piece.hi - w.piece.lo);
}

// The error of the highest rule reached, from the changes between the rules of successive
// orders, c_l = |Q_l - Q_(l-1)|, and their ratios r_l = c_l / c_(l-1): where the rules converge,
// the next change is about r c_l, and all the changes to come add up to r c_l / (1 - r) (exactly
// the error where the rules converge algebraically, as at a singular end: the error of order N
// is then C N^-p, r = 2^-p). The ratio taken is the
// larger of the last two, so that two rules that agree by chance (a small c_l, hence a small r_l)
// are not credited for it; at the first level, with no ratio to go by, and wherever the changes
// do not shrink, the change itself. Never credited with more than kFejerFloor of the change.
// Measured over 3000 hard separations of the profile engine (every law, rho from 1e-4 to 10, the
// lens next to the limb and to the centre) against the engine at 1e-15: no error above the
// tolerance at rtol 1e-6 and 1e-10, one at 1e-12 (3.6e-12). Bolder rules were measured and
// dropped: crediting r^2 c_l where the ratios shrink geometrically left 137 of the 3000 above
// 1e-10 (by up to 150x), r_l c_l alone where r_(l-1) < 0.1 left 10 (12x).
inline constexpr double kFejerFloor = 1e-4;

// `slow`: the piece's integrand is singular at an end in a way the rules converge slowly on (as a
// small power of the distance): there the order-8 rule can agree with the order-4 one by chance
// while both are far off (1e-3 of the result where t^0.29 is left at the limb), and the first
// level's estimate is the larger of its two changes, so that one small change cannot end it.
inline double fejer_estimate(const FejerWork& w, bool slow = false) {
    const int l = w.level;
    const double change = std::fabs(w.rule[l] - w.rule[l - 1]);
    if (l == kFirstLevel && slow) return std::max(change, std::fabs(w.rule[l - 1] - w.rule[l - 2]));
    if (change == 0.0) return 0.0;
    if (l == kFirstLevel) return change;
    const double before = std::fabs(w.rule[l - 1] - w.rule[l - 2]);
    const double earlier = std::fabs(w.rule[l - 2] - w.rule[l - 3]);
    if (!(change < before) || !(before < earlier)) return change;
    const double ratio = std::max(change / before, before / earlier);
    // The changes after this one add up to at most r c_l / (1 - r).
    const double factor = ratio / (1.0 - ratio);
    return change * (factor > kFejerFloor ? factor : kFejerFloor);
}

}  // namespace detail

// The integrals of g_s over the pieces of `initial` (g_s the integrand of segment s over its
// piece's variable), added up, refined until the estimated absolute error is at most `target`.
// fill(segments, points, n, out) sets out[i] = g_{segments[i]}(points[i]) for i < n (n <= 256);
// values that are not finite count as zero. When the limits are reached first, the result is the
// best estimate, with converged false. slow[s] != 0 marks segment s as slow at an end
// (fejer_estimate): its pieces are not ended at the first level by one small change.
template <class Fill>
FejerResult adaptive_fejer(std::span<const FejerPiece> initial, const Fill& fill, double target,
                           const FejerLimits& limits = {}, std::span<const unsigned char> slow = {}) {
    using detail::FejerWork;
    constexpr std::size_t kBatch = 256;
    FejerWork work[detail::kFejerCapacity];
    const std::size_t capacity = std::min(limits.most_pieces, detail::kFejerCapacity);
    std::size_t count = 0;
    FejerResult result;

    // Pending points: (piece index, finest-grid index), evaluated together.
    unsigned segments[kBatch];
    double points[kBatch];
    double values[kBatch];
    std::size_t owner[kBatch], slot[kBatch];
    std::size_t pending = 0;
    const auto flush = [&] {
        if (pending == 0) return;
        fill(static_cast<const unsigned*>(segments), static_cast<const double*>(points), pending, values);
        for (std::size_t k = 0; k < pending; ++k) {
            work[owner[k]].values[slot[k]] = std::isfinite(values[k]) ? values[k] : 0.0;
        }
        result.evaluations += static_cast<unsigned>(pending);
        pending = 0;
    };
    // Queue the points of `level` that the levels below it do not have.
    const auto queue_level = [&](std::size_t index, int level) {
        const FejerWork& w = work[index];
        const std::size_t stride = detail::fejer_stride(level);
        const double length = w.piece.hi - w.piece.lo;
        for (std::size_t i = stride - 1; i < detail::kFejerPointsTotal; i += stride) {
            if (level > detail::kFirstLevel && (i + 1) % (2 * stride) == 0) continue;  // has it
            if (pending == kBatch) flush();
            segments[pending] = w.piece.segment;
            points[pending] = w.piece.lo + length * tables::kFejerPoints[i];
            owner[pending] = index;
            slot[pending] = i;
            ++pending;
        }
    };
    const auto start = [&](std::size_t index, const FejerPiece& piece) {
        work[index].piece = piece;
        work[index].level = detail::kFirstLevel;
        queue_level(index, detail::kFirstLevel);
    };
    const auto finish = [&](std::size_t index, bool first) {
        FejerWork& w = work[index];
        if (first) {
            for (int l = 0; l <= detail::kFirstLevel; ++l) w.rule[l] = detail::fejer_rule(w, l);
        } else {
            w.rule[w.level] = detail::fejer_rule(w, w.level);
        }
        w.estimate = detail::fejer_estimate(w, w.piece.segment < slow.size() && slow[w.piece.segment] != 0);
    };

    bool fresh[detail::kFejerCapacity];
    for (const FejerPiece& piece : initial) {
        if (count == capacity) break;  // the caller gives no more pieces than the capacity
        fresh[count] = true;
        start(count++, piece);
    }
    flush();
    for (std::size_t i = 0; i < count; ++i) finish(i, true);

    for (;;) {
        double total = 0.0, error = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            total += work[i].rule[work[i].level];
            error += work[i].estimate;
        }
        result.integral = total;
        result.estimate = error;
        if (error <= target) break;
        if (result.evaluations >= limits.most_evaluations) {
            result.converged = false;
            break;
        }
        // Refine every piece whose estimate is above its share of the target: raise its order, or
        // bisect it once it is at the highest order.
        const double share = target / static_cast<double>(count);
        const std::size_t before = count;
        bool progress = false;
        for (std::size_t i = 0; i < before; ++i) {
            fresh[i] = false;
            if (work[i].estimate <= share) continue;
            if (work[i].level < detail::kLastLevel) {
                ++work[i].level;
                queue_level(i, work[i].level);
                progress = true;
            } else if (count < capacity) {
                const FejerPiece whole = work[i].piece;
                const double middle = whole.lo + (whole.hi - whole.lo) * 0.5;
                start(i, {whole.segment, whole.lo, middle});
                fresh[i] = true;
                fresh[count] = true;
                start(count++, {whole.segment, middle, whole.hi});
                progress = true;
            }
        }
        if (!progress) {
            result.converged = false;
            break;
        }
        flush();
        for (std::size_t i = 0; i < count; ++i) {
            if (fresh[i]) {
                finish(i, true);
            } else if (work[i].estimate > share) {
                finish(i, false);
            }
        }
    }
    return result;
}

}  // namespace mirvanta::numerics
