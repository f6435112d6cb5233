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
#include <array>
#include <cmath>
#include <cstddef>

#include "models/engine/profile_quadrature.hpp"
#include "models/engine/piece_plan.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/adaptive_pieces.hpp"
#include "numerics/constants.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

using numerics::Components;
using numerics::LobattoRule;

// The relative rounding of Phi read from a piece's integral (a Clenshaw sum of at most 34 terms
// of the size of Phi): a few dozen ulps.
constexpr double kPhiRounding = 64.0 * 0x1p-53;

// g(t) = G(x(t)) dx/dt on each segment, for a round's points together on the kernel's lanes.
struct TabulatedIntegrand {
    double u, rho, edge;
    const XSegment* segments;

    void operator()(const unsigned* segment, const double* t, std::size_t n, Components<1>* out) const {
        double radii[numerics::kPointBatch];
        for (std::size_t i = 0; i < n; ++i) radii[i] = x_at(segments[segment[i]], t[i]) * rho;
        witt_mao_magnification_radii(u, std::span<const double>(radii, n), radii);
        for (std::size_t i = 0; i < n; ++i) {
            const XSegment& p = segments[segment[i]];
            const double x = x_at(p, t[i]);
            out[i][0] = x == 0.0 ? 0.0 : ((x * x) * (radii[i] - edge)) * dx_dt(p, t[i]);
        }
    }
};

// G and its derivatives in u and rho at x, x^2 (A_disk(u, x rho) - A_disk(u, rho)),
// x^2 (dA_disk/du(u, x rho) - dA_disk/du(u, rho)) and x^2 (x dA_disk/drho(u, x rho) -
// dA_disk/drho(u, rho)): 0 at the centre, exactly 0 at the limb.
Components<3> g_at(double u, double rho, const DiskDerivatives& edge, double x) {
    if (x == 0.0) return {0.0, 0.0, 0.0};
    const DiskDerivatives disk = witt_mao_derivatives(u, x * rho);
    const double x2 = x * x;
    return {x2 * (disk.value - edge.value), x2 * (disk.du - edge.du), x2 * (x * disk.drho - edge.drho)};
}

// The gradient's integrand: g_at times dx/dt.
struct TabulatedGradientIntegrand {
    double u, rho;
    DiskDerivatives edge;
    const XSegment* segments;

    void operator()(const unsigned* segment, const double* t, std::size_t n, Components<3>* out) const {
        for (std::size_t i = 0; i < n; ++i) {
            const XSegment& p = segments[segment[i]];
            const double dx = dx_dt(p, t[i]);
            out[i] = g_at(u, rho, edge, x_at(p, t[i]));
            for (double& c : out[i]) c = c * dx;
        }
    }
};

// Phi(x) = int_0^x G (and its derivatives) over [0, 1], in pieces planned for the bend and
// refined by the driver, read at ascending x.
template <std::size_t K>
class PhiPieces {
public:
    template <class Integrand>
    numerics::PiecesResult<K> integrate(double u, double rho, const Integrand& g_of, const Components<K>& target) {
        plan_ = plan_x_segments(u / rho, rho);
        numerics::Piece pieces[kMostXSegments];
        for (std::size_t c = 0; c < plan_.count; ++c) pieces[c] = {static_cast<unsigned>(c), 0.0, 1.0};
        const numerics::PiecesResult<K> result = numerics::adaptive_pieces<LobattoRule>(
            std::span<const numerics::Piece>(pieces, plan_.count), g_of(plan_.segments), target, space_);
        // The pieces in order of x (halves were appended at the end).
        std::sort(space_.work, space_.work + space_.count, [&](const auto& a, const auto& c) { return start(a) < start(c); });
        return result;
    }

    // Phi at x, x not below the last x asked.
    Components<K> at(double x) {
        while (piece_ + 1 < space_.count && x > end(space_.work[piece_])) {
            for (std::size_t k = 0; k < K; ++k) before_[k] += LobattoRule::integral_to(space_.work[piece_], space_.work[piece_].piece.hi, k);
            ++piece_;
        }
        const auto& w = space_.work[piece_];
        const double t = std::clamp(t_at(plan_.segments[w.piece.segment], x), w.piece.lo, w.piece.hi);
        Components<K> phi;
        for (std::size_t k = 0; k < K; ++k) phi[k] = before_[k] + LobattoRule::integral_to(w, t, k);
        return phi;
    }

private:
    template <class W> double start(const W& w) const { return x_at(plan_.segments[w.piece.segment], w.piece.lo); }
    template <class W> double end(const W& w) const { return x_at(plan_.segments[w.piece.segment], w.piece.hi); }

    XPlan plan_;
    numerics::PiecesSpace<LobattoRule, K> space_;
    std::size_t piece_ = 0;
    Components<K> before_{};
};

// The point terms of the value: b_(n-1) G(r_(n-1)) - b_0 G(r_0) - sum over steps (b_(j+1) - b_j)
// G(r_j), and how much the kernel's rounding may carry into them: G(r) takes the difference of
// two disks, each within kWorstDiskError of its value (at r = 0 and r = 1 G is exactly 0). Where
// a band is narrow, terms at its two edges nearly cancel, and their rounding, not the quadrature,
// bounds the result's accuracy: it is part of the estimate, so that a result it may take beyond
// rtol is reported. Also the table's total variation over its segments (how much an error in Phi
// weighs). False when the call stopped (a table may hold many radii).
struct PointTerms {
    double magnified = 0.0, rounding = 0.0, variation = 0.0;
    unsigned evaluations = 3;
};

bool point_terms(double u, double rho, double edge, std::span<const double> r, std::span<const double> b,
                 PointTerms& out) {
    const std::size_t n = r.size();
    const auto g_direct = [&](double x, double weight) {
        if (x == 0.0) return 0.0;
        const double disk = witt_mao_magnification_scaled(u, x * rho);
        if (x != 1.0) out.rounding += std::fabs(weight) * ((x * x) * (std::fabs(disk) + std::fabs(edge))) * kWorstDiskError;
        return (x * x) * (disk - edge);
    };
    out.magnified = b[n - 1] * g_direct(r[n - 1], b[n - 1]) - b[0] * g_direct(r[0], b[0]);
    for (std::size_t j = 0; j + 1 < n; ++j) {
        if (j % parallel::kElementPollStride == parallel::kElementPollStride - 1 && parallel::element_should_stop()) {
            return false;
        }
        if (r[j + 1] > r[j]) {
            out.variation += std::fabs(b[j + 1] - b[j]);
        } else if (b[j + 1] != b[j]) {
            out.magnified -= (b[j + 1] - b[j]) * g_direct(r[j], b[j + 1] - b[j]);
            ++out.evaluations;
        }
    }
    return true;
}

// The flux's derivative in brightness value j: a segment [a, b] of brightness ia to ib holds
// (b - a) ((2a + b) ia + (a + 2b) ib) / 3 (brightness_law.cpp); one radius is that brightness over
// the whole disk.
double flux_derivative(std::span<const double> r, std::size_t j) {
    const std::size_t n = r.size();
    if (n == 1) return 1.0;
    double d = 0.0;
    if (j > 0 && r[j] > r[j - 1]) d += (r[j] - r[j - 1]) * (r[j - 1] + 2.0 * r[j]) / 3.0;
    if (j + 1 < n && r[j + 1] > r[j]) d += (r[j + 1] - r[j]) * (2.0 * r[j] + r[j + 1]) / 3.0;
    return d;
}

// The gradient's point terms: M and its derivatives in m, and dM/db_j in row.
unsigned gradient_point_terms(double u, double rho, const DiskDerivatives& edge, std::span<const double> r,
                              std::span<const double> b, Components<3>& m, double* row) {
    const std::size_t n = r.size();
    const auto point = [&](std::size_t j, double weight, std::size_t radius) {
        const Components<3> g = g_at(u, rho, edge, r[radius]);
        for (std::size_t k = 0; k < 3; ++k) m[k] += (b[j] * weight) * g[k];
        row[j] += weight * g[0];
    };
    if (n < 2) return 0;
    unsigned evaluations = 2;
    point(n - 1, 1.0, n - 1);
    point(0, -1.0, 0);
    for (std::size_t j = 0; j + 1 < n; ++j) {
        if (r[j + 1] > r[j]) continue;  // a step: -(b_(j+1) - b_j) G(r_j)
        point(j + 1, -1.0, j);
        point(j, 1.0, j);
        evaluations += 2;
    }
    return evaluations;
}

// The target of Phi's components in a gradient call: an error in Phi weighs 1/(r_(j+1) - r_j)
// in dA/db_j, whose scale is A over the brightest value; A/rho for the derivatives in u and rho.
Components<3> gradient_target(double scale, std::span<const double> r, std::span<const double> b, double rho) {
    double narrowest = 1.0, largest = b[0];
    for (std::size_t j = 0; j + 1 < r.size(); ++j) {
        if (r[j + 1] > r[j]) narrowest = std::min(narrowest, r[j + 1] - r[j]);
        largest = std::max(largest, b[j + 1]);
    }
    const double per_brightness = scale * narrowest / (2.0 * largest);
    return {per_brightness, per_brightness / rho, per_brightness / rho};
}

}  // namespace

ProfileValue tabulated_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol) {
    const std::size_t n = std::min(law.law.radii.size(), law.law.brightness.size());
    const std::span<const double> r = law.law.radii.first(n), b = law.law.brightness.first(n);
    const double edge = witt_mao_magnification_scaled(u, rho);
    ProfileValue out;
    PointTerms terms;
    if (!point_terms(u, rho, edge, r, b, terms)) return out;
    const double target = rtol * budget::kQuadrature * std::fabs(law.flux * edge);
    double estimate = 0.0;
    bool converged = true;
    if (terms.variation > 0.0) {
        PhiPieces<1> phi;
        const auto integral = phi.integrate(
            u, rho, [&](const XSegment* segments) { return TabulatedIntegrand{u, rho, edge, segments}; },
            {target / terms.variation});
        terms.evaluations += integral.evaluations;
        converged = integral.converged;
        estimate = terms.variation * integral.estimate[0];
        double previous = phi.at(r[0])[0];
        for (std::size_t j = 0; j + 1 < n; ++j) {
            if (j % parallel::kElementPollStride == parallel::kElementPollStride - 1 && parallel::element_should_stop()) {
                return out;
            }
            if (!(r[j + 1] > r[j])) continue;
            const double next = phi.at(r[j + 1])[0];
            if (b[j + 1] != b[j]) {
                const double slope = (b[j + 1] - b[j]) / (r[j + 1] - r[j]);
                terms.magnified -= slope * (next - previous);
                // A narrow, steep segment takes the difference of two nearly equal values of Phi,
                // each read from its interpolant's sum to a few ulps of the sum's terms.
                terms.rounding += std::fabs(slope) * (std::fabs(next) + std::fabs(previous)) * kPhiRounding;
            }
            previous = next;
        }
    }
    out.value = edge + terms.magnified / law.flux;
    out.estimate = (estimate + terms.rounding) / std::fabs(edge * law.flux + terms.magnified);
    out.converged = converged && out.estimate <= rtol;
    out.evaluations = terms.evaluations;
    return out;
}

ProfileGradient tabulated_gradient_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol,
                                                 double* table_row) {
    const std::size_t n = std::min(law.law.radii.size(), law.law.brightness.size());
    const std::span<const double> r = law.law.radii.first(n), b = law.law.brightness.first(n);
    const DiskDerivatives edge = witt_mao_derivatives(u, rho);
    Components<3> m{};  // M and its derivatives in u and rho
    std::fill(table_row, table_row + n, 0.0);  // dM/db_j, until the end, where it becomes dA/db_j
    ProfileGradient out;
    out.value.evaluations = 1 + gradient_point_terms(u, rho, edge, r, b, m, table_row);
    double estimate = 0.0;
    bool converged = true;
    if (n > 1) {
        const double scale = rtol * budget::kQuadrature * std::fabs(law.flux) * edge.value;
        const Components<3> target = gradient_target(scale, r, b, rho);
        PhiPieces<3> phi;
        const auto integral = phi.integrate(
            u, rho, [&](const XSegment* segments) { return TabulatedGradientIntegrand{u, rho, edge, segments}; }, target);
        out.value.evaluations += integral.evaluations;
        converged = integral.converged;
        for (std::size_t k = 0; k < 3; ++k) {
            estimate = std::max(estimate, integral.estimate[k] / target[k] * (rtol * budget::kQuadrature));
        }
        Components<3> previous = phi.at(r[0]);
        for (std::size_t j = 0; j + 1 < n; ++j) {
            if (!(r[j + 1] > r[j])) continue;
            const Components<3> next = phi.at(r[j + 1]);
            const double width = r[j + 1] - r[j], slope = (b[j + 1] - b[j]) / width;
            for (std::size_t k = 0; k < 3; ++k) m[k] -= slope * (next[k] - previous[k]);
            table_row[j + 1] -= (next[0] - previous[0]) / width;
            table_row[j] += (next[0] - previous[0]) / width;
            previous = next;
        }
    }
    out.value.value = edge.value + m[0] / law.flux;
    out.du = edge.du + m[1] / law.flux;
    out.drho = edge.drho + m[2] / law.flux;
    // dA/db_j = (dM/db_j - (A - A_disk) dN/db_j) / N.
    for (std::size_t j = 0; j < n; ++j) table_row[j] = (table_row[j] - (m[0] / law.flux) * flux_derivative(r, j)) / law.flux;
    out.value.estimate = estimate;
    out.value.converged = converged && estimate <= rtol;
    return out;
}

}  // namespace mirvanta::models
