// One globally adaptive quadrature over pieces: every piece of the caller's segments is evaluated
// on the nested Chebyshev grid t_j = sin^2(j pi / 128), j = 0..64, of [0, 1] (the grid of
// numerics/fejer_tables.hpp, with its two ends), a level of the grid at a time; a rule turns a
// piece's values into its integral and the estimate of its error; a piece whose estimate is above
// its share of the target goes to the next level, and once at the rule's last level it is halved.
// Two rules share the driver: Fejer's second rule (FejerRule: the interior points of the orders
// 8, 16 and 32, for a definite integral), and Chebyshev interpolation through the Lobatto points
// of orders 16 and 32, ends included (LobattoRule: for the integral from the piece's start to any
// point of it). The integrand has K components, integrated on the same points, each against its
// own target. The integrand is given for many points at once, so that a caller can evaluate all
// the new points of a round together (on SIMD lanes). Allocates nothing.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "numerics/fejer_tables.hpp"

namespace mirvanta::numerics {

// A piece [lo, hi] of segment `segment`'s variable; the caller's segments are its own business.
struct Piece {
    unsigned segment;
    double lo, hi;
};

// How far the driver goes, the same for every rule: at most kMostPieces pieces at once (the work
// space's capacity) and kMostEvaluations evaluations of the integrand. At the last level a piece
// holds 31 (Fejer) or 33 (Lobatto) points: a rule that needs all 96 pieces there has spent about
// 3,200 evaluations, and the cap leaves room for the levels before.
inline constexpr std::size_t kMostPieces = 96;
inline constexpr unsigned kMostEvaluations = 6000;

// The points a round evaluates together, and the integrand's contract: fill(segments, points, n,
// out) sets out[i][k] = component k of g_{segments[i]}(points[i]) for i < n, n <= kPointBatch.
inline constexpr std::size_t kPointBatch = 256;

template <std::size_t K>
using Components = std::array<double, K>;

template <std::size_t K>
struct PiecesResult {
    Components<K> integral{};
    Components<K> estimate{};  // estimated absolute error of each component
    bool converged = true;
    unsigned evaluations = 0;
};

namespace detail {

inline constexpr std::size_t kGridLast = 64;  // t_64 = 1
inline constexpr std::size_t kGridPoints = kGridLast + 1;

// t_j on [0, 1]: 0, the table's 63 interior points, 1.
inline double grid_point(std::size_t j) {
    if (j == 0) return 0.0;
    if (j == kGridLast) return 1.0;
    return tables::kFejerPoints[j - 1];
}

// The step, in grid indices, between the points of level l (order 2^(l + 1)).
constexpr std::size_t grid_stride(int level) { return kGridLast >> (level + 1); }

}  // namespace detail

// A piece's state in the driver's work space; C coefficients a piece keeps for its rule.
template <std::size_t K, std::size_t C>
struct PieceWork {
    static constexpr int kMostLevels = 5;
    Piece piece;
    int level;
    Components<K> values[detail::kGridPoints];  // at the grid points the levels reached hold
    Components<K> rule[kMostLevels];            // each level's integral over the piece
    Components<K> estimate;
    Components<K> coefficients[C];  // LobattoRule: of the integral from the piece's start (N + 2)
};

// Fejer's second rule of orders 8, 16 and 32 on the interior points.
struct FejerRule {
    static constexpr std::size_t kCoefficients = 1;  // none used
    static constexpr int kFirstLevel = 2;
    static constexpr int kLastLevel = 4;
    static constexpr bool kEnds = false;

    // The error of the highest rule reached, from the changes between the rules of successive
    // orders, c_l = |Q_l - Q_(l-1)|, and their ratios r_l = c_l / c_(l-1): where the rules
    // converge, the next change is about r c_l, and all the changes to come add up to
    // r c_l / (1 - r) (exactly the error where the rules converge algebraically, as at a singular
    // end: the error of order N is then C N^-p, r = 2^-p). The ratio taken is the larger of the
    // last two, so that two rules that agree by chance (a small c_l, hence a small r_l) are not
    // credited for it; at the first level, with no ratio to go by, and wherever the changes do not
    // shrink, the change itself. Never credited with more than kFloor of the change. Measured over
    // 3000 hard separations of the profile engine (every law, rho from 1e-4 to 10, the lens next
    // to the limb and to the centre) against the engine at 1e-15: no error above the tolerance at
    // rtol 1e-6 and 1e-10, one at 1e-12 (3.6e-12). Bolder rules were measured and dropped:
    // crediting r^2 c_l where the ratios shrink geometrically left 137 of the 3000 above 1e-10 (by
    // up to 150x), r_l c_l alone where r_(l-1) < 0.1 left 10 (12x).
    static constexpr double kFloor = 1e-4;

    // The rule of `level` for component k (its length not yet applied).
    template <std::size_t K, std::size_t C>
    static double rule(const PieceWork<K, C>& w, int level, std::size_t k) {
        const std::size_t stride = detail::grid_stride(level);
        const auto& weights = tables::kFejerWeights[static_cast<std::size_t>(level)];
        double sum = 0.0;
        for (std::size_t j = stride; j < detail::kGridLast; j += stride) sum = sum + weights[j - 1] * w.values[j][k];
        return sum * (w.piece.hi - w.piece.lo);
    }

    // `slow`: the piece's integrand is singular at an end in a way the rules converge slowly on
    // (as a small power of the distance): there the order-8 rule can agree with the order-4 one by
    // chance while both are far off (1e-3 of the result where t^0.29 is left at the limb), and the
    // first level's estimate is the larger of its two changes, so that one small change cannot
    // end it.
    template <std::size_t K, std::size_t C>
    static double estimate(const PieceWork<K, C>& w, std::size_t k, bool slow) {
        const int l = w.level;
        const double change = std::fabs(w.rule[l][k] - w.rule[l - 1][k]);
        if (l == kFirstLevel && slow) return std::max(change, std::fabs(w.rule[l - 1][k] - w.rule[l - 2][k]));
        if (change == 0.0) return 0.0;
        if (l == kFirstLevel) return change;
        const double before = std::fabs(w.rule[l - 1][k] - w.rule[l - 2][k]);
        const double earlier = std::fabs(w.rule[l - 2][k] - w.rule[l - 3][k]);
        if (!(change < before) || !(before < earlier)) return change;
        const double ratio = std::max(change / before, before / earlier);
        // The changes after this one add up to at most r c_l / (1 - r).
        const double factor = ratio / (1.0 - ratio);
        return change * (factor > kFloor ? factor : kFloor);
    }

    // The piece's rules and estimates after its level's values arrived; at the first level also
    // the lower orders', from the same points.
    template <std::size_t K, std::size_t C>
    static void update(PieceWork<K, C>& w, bool first, bool slow) {
        for (std::size_t k = 0; k < K; ++k) {
            if (first) {
                for (int l = 0; l <= kFirstLevel; ++l) w.rule[l][k] = rule(w, l, k);
            } else {
                w.rule[w.level][k] = rule(w, w.level, k);
            }
            w.estimate[k] = estimate(w, k, slow);
        }
    }
};

// Chebyshev interpolation of orders 16 and 32 through the Lobatto points (the ends included), for
// an integral to any point of a piece (integral_to). The error of the interpolant is bounded by
// its last two coefficients, times the piece's length: a rule's error over the piece is at most
// the interpolant's, which the tail of the coefficients bounds where they fall.
struct LobattoRule {
    static constexpr std::size_t kCoefficients = 34;  // of order 32's integral
    static constexpr int kFirstLevel = 3;
    static constexpr int kLastLevel = 4;
    static constexpr bool kEnds = true;

    // cos(m pi / N) for m = 0..2N-1, for the two orders: the transform reads it at j k mod 2N.
    struct Cosines {
        double low[32], high[64];
        Cosines() {
            for (std::size_t m = 0; m < 32; ++m) low[m] = std::cos(static_cast<double>(m) * 3.14159265358979323846 / 16.0);
            for (std::size_t m = 0; m < 64; ++m) high[m] = std::cos(static_cast<double>(m) * 3.14159265358979323846 / 32.0);
        }
    };
    static const Cosines& cosines() {
        static const Cosines table;
        return table;
    }

    // The coefficients c_k of the interpolant sum_k c_k T_k(y) through the N + 1 values (c_0 and
    // c_N halved), y = 2 (t - lo) / (hi - lo) - 1 at the points y_j = cos(j pi / N); and of its
    // integral from y = -1, sum_m C_m T_m(y): C_1 = c_0 - c_2/2, C_m = (c_(m-1) - c_(m+1)) / (2m),
    // C_(N+1) = c_N / (2(N + 1)), and C_0 such that the integral is 0 at y = -1.
    template <std::size_t K, std::size_t C>
    static void update(PieceWork<K, C>& w, bool /*first*/, bool /*slow*/) {
        const std::size_t n = std::size_t{2} << w.level;  // N
        const std::size_t stride = detail::grid_stride(w.level);
        const double* cosine = n == 16 ? cosines().low : cosines().high;
        for (std::size_t k = 0; k < K; ++k) {
            // The value at y_j = cos(j pi / N) lies at grid point (N - j) stride.
            const auto value = [&](std::size_t j) { return w.values[(n - j) * stride][k]; };
            double c[35] = {};  // c_(N+1) = 0 for the integral's last coefficient
            for (std::size_t q = 0; q <= n; ++q) {
                double sum = 0.5 * value(0);
                std::size_t m = q;  // j q mod 2N
                for (std::size_t j = 1; j < n; ++j) {
                    sum += value(j) * cosine[m];
                    m += q;
                    if (m >= 2 * n) m -= 2 * n;
                }
                sum += 0.5 * (value(n) * cosine[m]);
                c[q] = sum * 2.0 / static_cast<double>(n) * ((q == 0 || q == n) ? 0.5 : 1.0);
            }
            w.estimate[k] = (std::fabs(c[n]) + std::fabs(c[n - 1])) * (w.piece.hi - w.piece.lo);
            double integral[34] = {};
            integral[1] = c[0] - 0.5 * c[2];
            for (std::size_t m = 2; m <= n + 1; ++m) integral[m] = (c[m - 1] - c[m + 1]) / (2.0 * static_cast<double>(m));
            double at_minus_one = 0.0;
            for (std::size_t m = 1; m <= n + 1; ++m) at_minus_one += (m % 2 == 0) ? integral[m] : -integral[m];
            integral[0] = -at_minus_one;
            for (std::size_t m = 0; m <= n + 1; ++m) w.coefficients[m][k] = integral[m];
            w.rule[w.level][k] = integral_to(w, w.piece.hi, k);
        }
    }

    // Component k's integral from the piece's start to t in [lo, hi] (Clenshaw).
    template <std::size_t K, std::size_t C>
    static double integral_to(const PieceWork<K, C>& w, double t, std::size_t k) {
        const std::size_t n = std::size_t{2} << w.level;
        const double half = (w.piece.hi - w.piece.lo) * 0.5;
        const double y = (t - (w.piece.lo + half)) / half;
        double b1 = 0.0, b2 = 0.0;
        for (std::size_t m = n + 1; m >= 1; --m) {
            const double b0 = 2.0 * y * b1 - b2 + w.coefficients[m][k];
            b2 = b1;
            b1 = b0;
        }
        return half * (y * b1 - b2 + w.coefficients[0][k]);
    }
};

// The pieces in the driver's work space when it returns, for a rule whose pieces serve beyond
// their integrals (LobattoRule's integral_to).
template <class Rule, std::size_t K>
struct PiecesSpace {
    PieceWork<K, Rule::kCoefficients> work[kMostPieces];
    std::size_t count = 0;
};

namespace detail {

// One run of the driver: the pieces in the caller's work space, the points pending evaluation,
// and the result so far.
template <class Rule, std::size_t K, class Fill>
class PiecesDriver {
public:
    PiecesDriver(const Fill& fill, const Components<K>& target, PiecesSpace<Rule, K>& space,
                 std::span<const unsigned char> slow)
        : fill_(fill), target_(target), work_(space.work), count_(space.count), slow_(slow) {
        count_ = 0;
    }

    PiecesResult<K> run(std::span<const Piece> initial) {
        for (const Piece& piece : initial) {
            if (count_ == kMostPieces) break;  // the caller gives no more pieces than the capacity
            fresh_[count_] = true;
            start(count_++, piece);
        }
        flush();
        for (std::size_t i = 0; i < count_; ++i) Rule::update(work_[i], true, is_slow(i));
        while (!add_up() && refine()) {
            flush();
            for (std::size_t i = 0; i < count_; ++i) {
                if (fresh_[i]) {
                    Rule::update(work_[i], true, is_slow(i));
                } else if (refined_[i]) {
                    Rule::update(work_[i], false, is_slow(i));
                }
            }
        }
        return result_;
    }

private:
    bool is_slow(std::size_t i) const {
        const unsigned segment = work_[i].piece.segment;
        return segment < slow_.size() && slow_[segment] != 0;
    }

    // Evaluates the pending points together; values that are not finite count as zero.
    void flush() {
        if (pending_ == 0) return;
        fill_(static_cast<const unsigned*>(segments_), static_cast<const double*>(points_), pending_, values_);
        for (std::size_t p = 0; p < pending_; ++p) {
            for (std::size_t k = 0; k < K; ++k) {
                work_[owner_[p]].values[slot_[p]][k] = std::isfinite(values_[p][k]) ? values_[p][k] : 0.0;
            }
        }
        result_.evaluations += static_cast<unsigned>(pending_);
        pending_ = 0;
    }

    // Queues the points of `level` that the levels below it do not have.
    void queue_level(std::size_t index, int level) {
        const auto& w = work_[index];
        const std::size_t stride = grid_stride(level);
        const double length = w.piece.hi - w.piece.lo;
        const bool first = level == Rule::kFirstLevel;
        for (std::size_t j = Rule::kEnds ? 0 : stride; j <= (Rule::kEnds ? kGridLast : kGridLast - 1); j += stride) {
            if (!first && j % (2 * stride) == 0) continue;  // has it
            if (pending_ == kPointBatch) flush();
            segments_[pending_] = w.piece.segment;
            points_[pending_] = j == kGridLast ? w.piece.hi : w.piece.lo + length * grid_point(j);
            owner_[pending_] = index;
            slot_[pending_] = j;
            ++pending_;
        }
    }

    void start(std::size_t index, const Piece& piece) {
        work_[index].piece = piece;
        work_[index].level = Rule::kFirstLevel;
        queue_level(index, Rule::kFirstLevel);
    }

    // The result so far; true when every component is within its target, or the evaluations are
    // spent (then not converged).
    bool add_up() {
        Components<K> total{}, error{};
        for (std::size_t i = 0; i < count_; ++i) {
            for (std::size_t k = 0; k < K; ++k) {
                total[k] += work_[i].rule[work_[i].level][k];
                error[k] += work_[i].estimate[k];
            }
        }
        result_.integral = total;
        result_.estimate = error;
        bool within = true;
        for (std::size_t k = 0; k < K; ++k) within = within && error[k] <= target_[k];
        if (within) return true;
        if (result_.evaluations >= kMostEvaluations) {
            result_.converged = false;
            return true;
        }
        return false;
    }

    // Refines every piece whose estimate is above its share of the target: raises its level, or
    // halves it once it is at the last level. False (not converged) when no piece can be.
    bool refine() {
        Components<K> share;
        for (std::size_t k = 0; k < K; ++k) share[k] = target_[k] / static_cast<double>(count_);
        const std::size_t before = count_;
        bool progress = false;
        for (std::size_t i = 0; i < before; ++i) {
            fresh_[i] = false;
            refined_[i] = false;
            for (std::size_t k = 0; k < K; ++k) refined_[i] = refined_[i] || work_[i].estimate[k] > share[k];
            if (!refined_[i]) continue;
            if (work_[i].level < Rule::kLastLevel) {
                ++work_[i].level;
                queue_level(i, work_[i].level);
                progress = true;
            } else if (count_ < kMostPieces) {
                const Piece whole = work_[i].piece;
                const double middle = whole.lo + (whole.hi - whole.lo) * 0.5;
                start(i, {whole.segment, whole.lo, middle});
                fresh_[i] = true;
                fresh_[count_] = true;
                refined_[count_] = false;
                start(count_++, {whole.segment, middle, whole.hi});
                progress = true;
            }
        }
        if (!progress) result_.converged = false;
        return progress;
    }

    const Fill& fill_;
    const Components<K>& target_;
    PieceWork<K, Rule::kCoefficients>* work_;
    std::size_t& count_;
    std::span<const unsigned char> slow_;
    PiecesResult<K> result_;
    bool fresh_[kMostPieces] = {};
    bool refined_[kMostPieces] = {};
    // Pending points: (piece index, grid index), evaluated together.
    unsigned segments_[kPointBatch];
    double points_[kPointBatch];
    Components<K> values_[kPointBatch];
    std::size_t owner_[kPointBatch], slot_[kPointBatch];
    std::size_t pending_ = 0;
};

}  // namespace detail

// The integrals of g_s over the pieces of `initial` (g_s the integrand of segment s over its
// piece's variable), added up, refined until each component's estimated absolute error is at
// most its target. Values that are not finite count as zero. When the limits are reached first,
// the result is the best estimate, with converged false. slow[s] != 0 marks segment s as slow at
// an end (FejerRule::estimate): its pieces are not ended at the first level by one small change.
// The pieces are left in `space`.
template <class Rule, std::size_t K, class Fill>
PiecesResult<K> adaptive_pieces(std::span<const Piece> initial, const Fill& fill, const Components<K>& target,
                                PiecesSpace<Rule, K>& space, std::span<const unsigned char> slow = {}) {
    return detail::PiecesDriver<Rule, K, Fill>(fill, target, space, slow).run(initial);
}

}  // namespace mirvanta::numerics
