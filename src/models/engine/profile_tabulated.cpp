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


// The relative rounding of Phi read from a piece's integral (a Clenshaw sum of at most 34 terms
// of the size of Phi): a few dozen ulps.
constexpr double kPhiRounding = 64.0 * 0x1p-53;

// g(t) = G(x(t)) dx/dt on each segment, for a round's points together on the kernel's lanes.
struct TabulatedIntegrand {
    double u, rho, edge;
    const XSegment* segments;

    void operator()(const unsigned* segment, const double* t, std::size_t n, numerics::Components<1>* out) const {
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

// The gradient's integrand: g and its derivatives in u and rho, dx/dt times
// x^2 (A_disk(u, x rho) - A_disk(u, rho)), x^2 (dA_disk/du(u, x rho) - dA_disk/du(u, rho)) and
// x^2 (x dA_disk/drho(u, x rho) - dA_disk/drho(u, rho)).
struct TabulatedGradientIntegrand {
    double u, rho;
    DiskDerivatives edge;
    const XSegment* segments;

    void operator()(const unsigned* segment, const double* t, std::size_t n, numerics::Components<3>* out) const {
        for (std::size_t i = 0; i < n; ++i) {
            const XSegment& p = segments[segment[i]];
            const double x = x_at(p, t[i]);
            if (x == 0.0) {
                out[i] = {0.0, 0.0, 0.0};
                continue;
            }
            const DiskDerivatives disk = witt_mao_derivatives(u, x * rho);
            const double x2 = x * x, dx = dx_dt(p, t[i]);
            out[i] = {(x2 * (disk.value - edge.value)) * dx, (x2 * (disk.du - edge.du)) * dx,
                      (x2 * (x * disk.drho - edge.drho)) * dx};
        }
    }
};

// G and its two derivatives at x (0 at the centre; exactly 0 at the limb).
std::array<double, 3> g_at(double u, double rho, const DiskDerivatives& edge, double x) {
    if (x == 0.0) return {0.0, 0.0, 0.0};
    const DiskDerivatives disk = witt_mao_derivatives(u, x * rho);
    const double x2 = x * x;
    return {x2 * (disk.value - edge.value), x2 * (disk.du - edge.du), x2 * (x * disk.drho - edge.drho)};
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

}  // namespace

ProfileGradient tabulated_gradient_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol,
                                                 double* table_row) {
    const std::span<const double> r = law.law.radii, b = law.law.brightness;
    const std::size_t n = std::min(r.size(), b.size());
    const DiskDerivatives edge = witt_mao_derivatives(u, rho);
    ProfileGradient out;
    std::array<double, 3> m{};  // M and its derivatives in u and rho
    // dM/db_j, in table_row until the end, where it becomes dA/db_j.
    std::fill(table_row, table_row + n, 0.0);
    const auto point = [&](std::size_t j, double weight, std::size_t radius) {
        const std::array<double, 3> g = g_at(u, rho, edge, r[radius]);
        for (std::size_t k = 0; k < 3; ++k) m[k] += (b[j] * weight) * g[k];
        table_row[j] += weight * g[0];
    };
    unsigned evaluations = 1;
    if (n > 1) {
        point(n - 1, 1.0, n - 1);
        point(0, -1.0, 0);
        evaluations += 2;
        for (std::size_t j = 0; j + 1 < n; ++j) {
            if (r[j + 1] > r[j]) continue;  // a step: -(b_(j+1) - b_j) G(r_j)
            point(j + 1, -1.0, j);
            point(j, 1.0, j);
            evaluations += 2;
        }
    }
    // Phi and its derivatives over the pieces, each component to its share: the value's, and the
    // brightness derivatives' (an error in Phi weighs 1/(r_(j+1) - r_j) in dA/db_j).
    double narrowest = 1.0, largest = 0.0;
    for (std::size_t j = 0; j + 1 < n; ++j) {
        if (r[j + 1] > r[j]) narrowest = std::min(narrowest, r[j + 1] - r[j]);
        largest = std::max(largest, b[j + 1]);
    }
    largest = std::max(largest, b[0]);
    double estimate = 0.0;
    bool converged = true;
    if (n > 1) {
        const XPlan plan = plan_x_segments(u / rho, rho);
        numerics::Piece pieces[kMostXSegments];
        for (std::size_t c = 0; c < plan.count; ++c) pieces[c] = {static_cast<unsigned>(c), 0.0, 1.0};
        const double scale = rtol * budget::kQuadrature * std::fabs(law.flux) * edge.value;
        const double per_brightness = scale * narrowest / (2.0 * largest);
        numerics::Components<3> target = {per_brightness, per_brightness / rho, per_brightness / rho};
        numerics::PiecesSpace<numerics::LobattoRule, 3> space;
        const auto integral = numerics::adaptive_pieces<numerics::LobattoRule>(
            std::span<const numerics::Piece>(pieces, plan.count),
            TabulatedGradientIntegrand{u, rho, edge, plan.segments}, target, space);
        evaluations += integral.evaluations;
        converged = integral.converged;
        for (std::size_t k = 0; k < 3; ++k) {
            estimate = std::max(estimate, integral.estimate[k] / target[k] * (rtol * budget::kQuadrature));
        }
        auto* work = space.work;
        std::sort(work, work + space.count, [&](const auto& a, const auto& c) {
            return x_at(plan.segments[a.piece.segment], a.piece.lo) < x_at(plan.segments[c.piece.segment], c.piece.lo);
        });
        std::size_t piece = 0;
        std::array<double, 3> before{};  // Phi at the start of `piece`
        const auto phi = [&](double x) {
            while (piece + 1 < space.count && x > x_at(plan.segments[work[piece].piece.segment], work[piece].piece.hi)) {
                for (std::size_t k = 0; k < 3; ++k) {
                    before[k] += numerics::LobattoRule::integral_to(work[piece], work[piece].piece.hi, k);
                }
                ++piece;
            }
            const auto& w = work[piece];
            const double t = std::clamp(t_at(plan.segments[w.piece.segment], x), w.piece.lo, w.piece.hi);
            std::array<double, 3> v{};
            for (std::size_t k = 0; k < 3; ++k) v[k] = before[k] + numerics::LobattoRule::integral_to(w, t, k);
            return v;
        };
        std::array<double, 3> previous = phi(r[0]);
        for (std::size_t j = 0; j + 1 < n; ++j) {
            if (!(r[j + 1] > r[j])) continue;
            const std::array<double, 3> next = phi(r[j + 1]);
            const double width = r[j + 1] - r[j];
            const double slope = (b[j + 1] - b[j]) / width;
            for (std::size_t k = 0; k < 3; ++k) m[k] -= slope * (next[k] - previous[k]);
            table_row[j + 1] -= (next[0] - previous[0]) / width;
            table_row[j] += (next[0] - previous[0]) / width;
            previous = next;
        }
    }
    const double a = edge.value + m[0] / law.flux;
    out.value.value = a;
    out.du = edge.du + m[1] / law.flux;
    out.drho = edge.drho + m[2] / law.flux;
    // dA/db_j = (dM/db_j - (A - A_disk) dN/db_j) / N.
    for (std::size_t j = 0; j < n; ++j) {
        table_row[j] = (table_row[j] - (m[0] / law.flux) * flux_derivative(r.first(n), j)) / law.flux;
    }
    out.value.estimate = estimate;
    out.value.converged = converged && estimate <= rtol;
    out.value.evaluations = evaluations;
    return out;
}

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

    numerics::PiecesSpace<numerics::LobattoRule, 1> space;
    bool converged = true;
    double estimate = 0.0;
    XPlan plan;
    if (variation > 0.0) {
        plan = plan_x_segments(u / rho, rho);
        const XSegment* segments = plan.segments;
        numerics::Piece pieces[kMostXSegments];
        for (std::size_t c = 0; c < plan.count; ++c) pieces[c] = {static_cast<unsigned>(c), 0.0, 1.0};
        const numerics::PiecesResult<1> integral = numerics::adaptive_pieces<numerics::LobattoRule>(
            std::span<const numerics::Piece>(pieces, plan.count), TabulatedIntegrand{u, rho, edge, segments},
            {target / variation}, space);
        evaluations += integral.evaluations;
        converged = integral.converged;
        estimate = variation * integral.estimate[0];
        // The pieces in order of x (halves were appended at the end).
        auto* work = space.work;
        std::sort(work, work + space.count, [&](const auto& a, const auto& c) {
            return x_at(segments[a.piece.segment], a.piece.lo) < x_at(segments[c.piece.segment], c.piece.lo);
        });

        // Phi at each radius, walking the pieces and the radii together (both ascending).
        using numerics::LobattoRule;
        std::size_t piece = 0;
        double phi_before = 0.0;  // Phi at the start of `piece`
        const auto phi = [&](double x) {
            while (piece + 1 < space.count &&
                   x > x_at(segments[work[piece].piece.segment], work[piece].piece.hi)) {
                phi_before += LobattoRule::integral_to(work[piece], work[piece].piece.hi, 0);
                ++piece;
            }
            const auto& w = work[piece];
            const double t = std::clamp(t_at(segments[w.piece.segment], x), w.piece.lo, w.piece.hi);
            return phi_before + LobattoRule::integral_to(w, t, 0);
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
