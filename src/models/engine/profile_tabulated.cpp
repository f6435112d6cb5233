// A tabulated profile by parts: I is linear between the radii, so dI is the slope s_j dx on each
// segment, plus a step at each pair of equal radii, the rise b_0 at the first radius and the drop
// b_(n-1) at the last. With G(x) = x^2 (A_disk(u, x rho) - A_disk(u, rho)) (as for the analytic
// laws: the magnification is A_disk(u, rho) + M / N) the magnified flux over pi less F(1) N is
//   M = b_(n-1) G(r_(n-1)) - b_0 G(r_0) - sum over steps (b_(j+1) - b_j) G(r_j)
//       - sum over segments s_j (Phi(r_(j+1)) - Phi(r_j)),   Phi(x) = int_0^x G.
// G does not depend on the table, and bends only where the disk through the lens is: so Phi is
// taken once over [0, 1], as piecewise Chebyshev interpolants of G integrated term by term, and
// read at every radius. The cost does not grow with the number of radii.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "models/engine/profile_quadrature.hpp"
#include "models/engine/profile_segments.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

using profile_detail::kBendPower;
using profile_detail::kGrading;

// Chebyshev points per piece: 17 (N = 16), then 33 (N = 32, the 16 between them added); a piece
// that 33 do not resolve is halved.
constexpr std::size_t kLowOrder = 16;
constexpr std::size_t kHighOrder = 32;
constexpr std::size_t kMostPieces = 96;

// The relative rounding of Phi read from a piece's integral (a Clenshaw sum of at most 34 terms
// of the size of Phi): a few dozen ulps.
constexpr double kPhiRounding = 64.0 * 0x1p-53;
constexpr unsigned kMostEvaluations = 6000;

// A piece of [0, 1] in x: x(t) over t in [lo, hi] within [0, 1], one of
//   plain:         x = start + length t
//   bend at right: x = start - length (1 - t)^3   (start = x*)
//   bend at left:  x = start + length t^3        (start = x*)
// all increasing in t, so that the pieces in order of x are in order of t.
enum class Map : unsigned char { plain, bend_right, bend_left };

struct Piece {
    Map map;
    double start, length;  // of the segment the piece lies in
    double lo, hi;         // the piece's range of t
    std::size_t order;     // N of its Chebyshev points (0: not yet evaluated)
    double values[kHighOrder + 1];        // g at t(y_j), y_j = cos(j pi / N), j = 0..N
    double coefficients[kHighOrder + 2];  // of g in y (N + 1), then of its integral (N + 2)
    double error;                         // bound of int |g - interpolant| dt over the piece
};

double x_at(const Piece& p, double t) {
    switch (p.map) {
        case Map::plain: return p.start + p.length * t;
        case Map::bend_right: {
            const double s = 1.0 - t;
            return p.start - p.length * (s * s * s);
        }
        case Map::bend_left: return p.start + p.length * (t * t * t);
    }
    return 0.0;
}

double dx_dt(const Piece& p, double t) {
    switch (p.map) {
        case Map::plain: return p.length;
        case Map::bend_right: return 3.0 * p.length * ((1.0 - t) * (1.0 - t));
        case Map::bend_left: return 3.0 * p.length * (t * t);
    }
    return 0.0;
}

double t_at(const Piece& p, double x) {
    switch (p.map) {
        case Map::plain: return (x - p.start) / p.length;
        case Map::bend_right: return 1.0 - std::cbrt((p.start - x) / p.length);
        case Map::bend_left: return std::cbrt((x - p.start) / p.length);
    }
    return 0.0;
}

// cos(m pi / N) for m = 0..2N-1, for the two orders: the Chebyshev-Lobatto points are its first
// N + 1 entries, and the transform reads it at j k mod 2N.
struct CosineTable {
    double low[2 * kLowOrder], high[2 * kHighOrder];
    CosineTable() {
        for (std::size_t m = 0; m < 2 * kLowOrder; ++m) {
            low[m] = std::cos(static_cast<double>(m) * numerics::kPi / kLowOrder);
        }
        for (std::size_t m = 0; m < 2 * kHighOrder; ++m) {
            high[m] = std::cos(static_cast<double>(m) * numerics::kPi / kHighOrder);
        }
    }
    const double* of(std::size_t n) const { return n == kLowOrder ? low : high; }
};

const CosineTable& cosines() {
    static const CosineTable table;
    return table;
}

// Chebyshev-Lobatto point j of order N on [-1, 1].
double lobatto(std::size_t j, std::size_t n) { return cosines().of(n)[j]; }

// The coefficients c_k of the interpolant sum_k c_k T_k(y) through the piece's N + 1 values
// (c_0 and c_N halved), and of its integral from -1, sum_m C_m T_m(y):
// C_1 = c_0 - c_2/2, C_m = (c_(m-1) - c_(m+1)) / (2m), C_(N+1) = c_N / (2(N + 1)), and C_0 such
// that the integral is 0 at y = -1. The error bound: the last two coefficients times the piece's
// length in t (a rule's error over the piece is at most the interpolant's, which the tail of the
// coefficients bounds where they fall).
void fit(Piece& p) {
    const std::size_t n = p.order;
    const double* cosine = cosines().of(n);
    double c[kHighOrder + 3] = {};
    for (std::size_t k = 0; k <= n; ++k) {
        double sum = 0.5 * p.values[0];
        std::size_t m = k;  // j k mod 2N
        for (std::size_t j = 1; j < n; ++j) {
            sum += p.values[j] * cosine[m];
            m += k;
            if (m >= 2 * n) m -= 2 * n;
        }
        sum += 0.5 * (p.values[n] * cosine[m]);
        c[k] = sum * 2.0 / static_cast<double>(n) * ((k == 0 || k == n) ? 0.5 : 1.0);
    }
    p.error = (std::fabs(c[n]) + std::fabs(c[n - 1])) * (p.hi - p.lo);
    double integral[kHighOrder + 2] = {};
    integral[1] = c[0] - 0.5 * c[2];
    for (std::size_t m = 2; m <= n + 1; ++m) integral[m] = (c[m - 1] - c[m + 1]) / (2.0 * static_cast<double>(m));
    double at_minus_one = 0.0;
    for (std::size_t m = 1; m <= n + 1; ++m) at_minus_one += (m % 2 == 0) ? integral[m] : -integral[m];
    integral[0] = -at_minus_one;
    for (std::size_t m = 0; m <= n + 1; ++m) p.coefficients[m] = integral[m];
}

// int from the piece's start to t of g, from the integral's coefficients (Clenshaw).
double integral_to(const Piece& p, double t) {
    const double half = (p.hi - p.lo) * 0.5;
    const double y = (t - (p.lo + half)) / half;
    double b1 = 0.0, b2 = 0.0;
    for (std::size_t m = p.order + 1; m >= 1; --m) {
        const double b0 = 2.0 * y * b1 - b2 + p.coefficients[m];
        b2 = b1;
        b1 = b0;
    }
    return half * (y * b1 - b2 + p.coefficients[0]);
}

}  // namespace

ProfileValue tabulated_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol) {
    const std::span<const double> r = law.law.radii, b = law.law.brightness;
    const std::size_t n = std::min(r.size(), b.size());
    const double edge = witt_mao_magnification_scaled(u, rho);
    // The point terms b G(r) of the table's ends and steps, and how much the kernel's rounding may
    // carry into them: G(r) takes the difference of two disks, each within kWorstDiskError of its
    // value (at r = 0 and r = 1 G is exactly 0). Where a band is narrow, terms at its two edges
    // nearly cancel, and their rounding, not the quadrature, bounds the result's accuracy: it is
    // part of the estimate, so that a result it may take beyond rtol is reported.
    double rounding = 0.0;
    const auto g_direct = [&](double x, double weight) {
        if (x == 0.0) return 0.0;
        const double disk = witt_mao_magnification_scaled(u, x * rho);
        if (x != 1.0) rounding += std::fabs(weight) * ((x * x) * (std::fabs(disk) + std::fabs(edge))) * kWorstDiskError;
        return (x * x) * (disk - edge);
    };
    ProfileValue out;
    double magnified = b[n - 1] * g_direct(r[n - 1], b[n - 1]) - b[0] * g_direct(r[0], b[0]);
    unsigned evaluations = 3;
    double variation = 0.0;  // sum |b_(j+1) - b_j| over the segments: how much an error in Phi weighs
    for (std::size_t j = 0; j + 1 < n; ++j) {
        // A table may hold many radii: a stopped call does not use this result.
        if (j % 1024 == 1023 && parallel::element_should_stop()) return out;
        if (r[j + 1] > r[j]) {
            variation += std::fabs(b[j + 1] - b[j]);
        } else if (b[j + 1] != b[j]) {
            magnified -= (b[j + 1] - b[j]) * g_direct(r[j], b[j + 1] - b[j]);
            ++evaluations;
        }
    }
    const double target = rtol * budget::kQuadrature * std::fabs(law.flux * edge);

    Piece pieces[kMostPieces];
    std::size_t count = 0;
    bool converged = true;
    double estimate = 0.0;
    if (variation > 0.0) {
        // The cuts in x: the bend x* (inside, or at the limb), and the points that halve the
        // distance to it down to that of its nearest other singularity (x* +- 2i/rho, -x*), or,
        // with the lens outside, towards the limb down to x* - 1.
        const double bend = u / rho;
        double cuts[2 * kGrading + 4];
        std::size_t cut_count = 0;
        cuts[cut_count++] = 0.0;
        if (bend <= 1.0) {
            const double finest = bend > 0.0 ? std::min(2.0 / rho, 2.0 * bend) : 2.0 / rho;
            for (std::size_t k = kGrading; k-- > 0;) {
                const double at = bend - std::ldexp(finest, static_cast<int>(k));
                if (at > 0.0 && at < 1.0) cuts[cut_count++] = at;
            }
            if (bend > 0.0 && bend < 1.0) cuts[cut_count++] = bend;
            for (std::size_t k = 0; k < kGrading; ++k) {
                const double at = bend + std::ldexp(finest, static_cast<int>(k));
                if (at > 0.0 && at < 1.0) cuts[cut_count++] = at;
            }
        } else {
            const double off = bend - 1.0;
            for (std::size_t k = kGrading; k-- > 0;) {
                const double at = 1.0 - std::ldexp(off, static_cast<int>(k));
                if (at > 0.0 && at < 1.0) cuts[cut_count++] = at;
            }
        }
        cuts[cut_count++] = 1.0;
        for (std::size_t c = 0; c + 1 < cut_count; ++c) {
            const double from = cuts[c], to = cuts[c + 1];
            Piece& p = pieces[count++];
            if (to == bend) {
                p.map = Map::bend_right;
                p.start = bend;
            } else if (from == bend && bend > 0.0) {
                p.map = Map::bend_left;
                p.start = bend;
            } else {
                p.map = Map::plain;
                p.start = from;
            }
            p.length = to - from;
            p.lo = 0.0;
            p.hi = 1.0;
            p.order = 0;
        }

        // Rounds: evaluate every piece that needs points (all the new points at once, on the
        // kernel's lanes), fit, and refine the pieces whose error is above their share.
        constexpr std::size_t kMostPoints = kMostPieces * (kLowOrder + 1);  // a round's new points
        double t_of[kMostPoints], radii[kMostPoints];
        std::size_t owner[kMostPoints], slot[kMostPoints];
        bool refine[kMostPieces];
        std::fill(refine, refine + count, true);
        for (;;) {
            std::size_t points = 0;
            for (std::size_t i = 0; i < count; ++i) {
                if (!refine[i]) continue;
                Piece& p = pieces[i];
                const bool first = p.order == 0;
                p.order = first ? kLowOrder : kHighOrder;
                if (!first) {  // the old points at the even places
                    for (std::size_t j = kLowOrder + 1; j-- > 0;) p.values[2 * j] = p.values[j];
                }
                const double half = (p.hi - p.lo) * 0.5;
                for (std::size_t j = first ? 0 : 1; j <= p.order; j += first ? 1 : 2) {
                    const double t = p.lo + half * (1.0 + lobatto(j, p.order));
                    t_of[points] = t;
                    radii[points] = x_at(p, t) * rho;
                    owner[points] = i;
                    slot[points] = j;
                    ++points;
                }
            }
            witt_mao_magnification_radii(u, std::span<const double>(radii, points), radii);
            evaluations += static_cast<unsigned>(points);
            for (std::size_t k = 0; k < points; ++k) {
                Piece& p = pieces[owner[k]];
                const double x = x_at(p, t_of[k]);
                const double g = x == 0.0 ? 0.0 : ((x * x) * (radii[k] - edge)) * dx_dt(p, t_of[k]);
                p.values[slot[k]] = std::isfinite(g) ? g : 0.0;
            }
            double error = 0.0;
            for (std::size_t i = 0; i < count; ++i) {
                if (refine[i]) fit(pieces[i]);
                error += pieces[i].error;
            }
            estimate = variation * error;
            if (estimate <= target) break;
            if (evaluations >= kMostEvaluations) {
                converged = false;
                break;
            }
            // Raise the order of, or halve, every piece above its share.
            const double share = target / (variation * static_cast<double>(count));
            const std::size_t before = count;
            bool progress = false;
            for (std::size_t i = 0; i < before; ++i) {
                refine[i] = pieces[i].error > share;
                if (!refine[i]) continue;
                if (pieces[i].order == kLowOrder) {
                    progress = true;
                } else if (count < kMostPieces) {
                    Piece& p = pieces[i];
                    const double middle = (p.lo + p.hi) * 0.5;
                    pieces[count] = p;
                    pieces[count].lo = middle;
                    pieces[count].order = 0;
                    refine[count++] = true;
                    p.hi = middle;
                    p.order = 0;
                    progress = true;
                } else {
                    refine[i] = false;
                }
            }
            if (!progress) {
                converged = false;
                break;
            }
        }
        // The pieces in order of x (halves were appended at the end).
        std::sort(pieces, pieces + count, [](const Piece& a, const Piece& c) {
            return x_at(a, a.lo) < x_at(c, c.lo);
        });

        // Phi at each radius, walking the pieces and the radii together (both ascending).
        std::size_t piece = 0;
        double phi_before = 0.0;  // Phi at the start of `piece`
        const auto phi = [&](double x) {
            while (piece + 1 < count && x > x_at(pieces[piece], pieces[piece].hi)) {
                phi_before += integral_to(pieces[piece], pieces[piece].hi);
                ++piece;
            }
            const Piece& p = pieces[piece];
            const double t = std::clamp(t_at(p, x), p.lo, p.hi);
            return phi_before + integral_to(p, t);
        };
        double previous = phi(r[0]);
        for (std::size_t j = 0; j + 1 < n; ++j) {
            if (j % 1024 == 1023 && parallel::element_should_stop()) return out;
            if (!(r[j + 1] > r[j])) continue;
            const double next = phi(r[j + 1]);
            if (b[j + 1] != b[j]) {
                const double slope = (b[j + 1] - b[j]) / (r[j + 1] - r[j]);
                magnified -= slope * (next - previous);
                // A narrow, steep segment takes the difference of two nearly equal values of Phi,
                // each read from its interpolant's sum to a few ulps of the sum's terms.
                rounding += std::fabs(slope) * (std::fabs(next) + std::fabs(previous)) * kPhiRounding;
            }
            previous = next;
        }
    }
    out.value = edge + magnified / law.flux;
    out.estimate = (estimate + rounding) / std::fabs(edge * law.flux + magnified);
    out.converged = converged && out.estimate <= rtol;
    out.evaluations = evaluations;
    return out;
}

}  // namespace mirvanta::models
