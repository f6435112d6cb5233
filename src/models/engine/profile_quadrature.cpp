#include "models/engine/profile_quadrature.hpp"

#include <algorithm>
#include <cmath>

#include "models/engine/law_gradient.hpp"
#include "models/engine/piece_plan.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/adaptive_pieces.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {
namespace {

using numerics::Piece;

// Raises t^power for the powers the segments use (1, 2, 3 and others).
inline double power_of(double t, double power) {
    if (power == 1.0) return t;
    if (power == 2.0) return t * t;
    if (power == 3.0) return t * t * t;
    return std::pow(t, power);
}

// The integrals run over G(x) = F(x) - x^2 F(1) = x^2 (A_disk(u, x rho) - A_disk(u, rho)) in
// place of F: since the law's flux is N = I(1) - int_0^1 x^2 dI, the magnified flux is
// F(1) N - int_0^1 G dI, and the magnification A_disk(u, rho) - int G dI / N. G is the smaller the
// farther the lens, so that the rule reaches the same absolute target with fewer points.
struct AnalyticIntegrand {
    double u, rho, edge;
    const PreparedLaw& law;
    const AngleSegment* segments;

    // out[i] = G(x) x dI/dmu(mu) times the segment's Jacobian, at the angles of points[i].
    void operator()(const unsigned* segment, const double* t, std::size_t n, numerics::Components<1>* values) const {
        double x[numerics::kPointBatch], mu[numerics::kPointBatch], jacobian[numerics::kPointBatch];
        double out[numerics::kPointBatch];
        for (std::size_t i = 0; i < n; ++i) {
            const AngleSegment& s = segments[segment[i]];
            const double angle = s.start + s.direction * (s.length * power_of(t[i], s.power));
            jacobian[i] = s.length * s.power * (s.power == 1.0 ? 1.0 : power_of(t[i], s.power - 1.0));
            if (s.from_limb) {
                x[i] = std::cos(angle);
                mu[i] = std::sin(angle);
            } else {
                x[i] = std::sin(angle);
                mu[i] = std::cos(angle);
            }
            out[i] = x[i] * rho;
        }
        witt_mao_magnification_radii(u, std::span<const double>(out, n), out);
        double slope[numerics::kPointBatch];
        brightness_slopes(law, mu, slope, n);
        for (std::size_t i = 0; i < n; ++i) {
            const double excess = (x[i] * x[i]) * (out[i] - edge);
            values[i][0] = ((excess * x[i]) * slope[i]) * jacobian[i];
        }
    }
};

// The components of the gradient's integrand: G and its derivatives in u and rho times the law's
// weight, and G times each coefficient's derivative of the weight. The magnification is
// A_disk(u, rho) + J_0 / N (J_0 = -int G dI), so that dA/du = dA_disk/du + J_u / N with
// J_u = -int x^2 (dA_disk/du(u, x rho) - dA_disk/du(u, rho)) dI, dA/drho likewise with the disk's
// radius x rho (d/drho A_disk(u, x rho) = x dA_disk/drho(u, x rho)), and, the flux N depending on
// the coefficients too, dA/dc = (J_c - (J_0 / N) dN/dc) / N.
constexpr std::size_t kGradientComponents = 3 + kMostCoefficients;

struct GradientIntegrand {
    double u, rho;
    DiskDerivatives edge;
    const PreparedLaw& law;
    const LawGradient& coefficients;
    const AngleSegment* segments;

    // The points a batch at a time: the disk's values and derivatives at their radii together on
    // the lanes, the law's slopes and the coefficients' term by term over the batch.
    void operator()(const unsigned* segment, const double* t, std::size_t n,
                    numerics::Components<kGradientComponents>* values) const {
        double x[numerics::kPointBatch], mu[numerics::kPointBatch], jacobian[numerics::kPointBatch];
        double radius[numerics::kPointBatch], slope[numerics::kPointBatch], coefficient[numerics::kPointBatch];
        DiskDerivatives disk[numerics::kPointBatch];
        for (std::size_t i = 0; i < n; ++i) {
            const AngleSegment& s = segments[segment[i]];
            const double angle = s.start + s.direction * (s.length * power_of(t[i], s.power));
            jacobian[i] = s.length * s.power * (s.power == 1.0 ? 1.0 : power_of(t[i], s.power - 1.0));
            x[i] = s.from_limb ? std::cos(angle) : std::sin(angle);
            mu[i] = s.from_limb ? std::sin(angle) : std::cos(angle);
            radius[i] = x[i] * rho;
        }
        witt_mao_derivatives_radii(u, std::span<const double>(radius, n), disk);
        brightness_slopes(law, mu, slope, n);
        for (std::size_t i = 0; i < n; ++i) {
            const double weight = (x[i] * slope[i]) * jacobian[i];
            const double x2 = x[i] * x[i];
            numerics::Components<kGradientComponents>& out = values[i];
            out.fill(0.0);
            out[0] = (x2 * (disk[i].value - edge.value)) * weight;
            out[1] = (x2 * (disk[i].du - edge.du)) * weight;
            out[2] = (x2 * (x[i] * disk[i].drho - edge.drho)) * weight;
        }
        for (std::size_t j = 0; j < coefficients.count; ++j) {
            brightness_slopes(coefficients.analytic[j].slope, mu, coefficient, n);
            for (std::size_t i = 0; i < n; ++i) {
                const double g = (x[i] * x[i]) * (disk[i].value - edge.value);
                values[i][3 + j] = (g * (x[i] * coefficient[i])) * jacobian[i];
            }
        }
    }
};

ProfileGradient analytic_gradient(double u, double rho, const PreparedLaw& law, const LawGradient& coefficients,
                                  double rtol) {
    const DiskDerivatives edge = witt_mao_derivatives(u, rho);
    const AnglePlan plan = plan_angle_segments(u / rho, rho, limb_slope(law), kGradientBendPower);
    Piece pieces[kMostAngleSegments];
    for (std::size_t i = 0; i < plan.count; ++i) pieces[i] = {static_cast<unsigned>(i), 0.0, 1.0};
    // Each component's target is its share of rtol of its scale times the flux: A for the value
    // and the coefficients, A/rho for the derivatives in u and rho.
    const double flux = std::fabs(law.flux);
    numerics::Components<kGradientComponents> target;
    target.fill(rtol * budget::kQuadrature * flux * std::fabs(edge.value));
    target[1] = target[2] = target[0] / rho;
    numerics::PiecesSpace<numerics::FejerRule, kGradientComponents> space;  // 380 kB of the stack
    const auto integral = numerics::adaptive_pieces<numerics::FejerRule>(
        std::span<const Piece>(pieces, plan.count), GradientIntegrand{u, rho, edge, law, coefficients, plan.segments},
        target,
        space, std::span<const unsigned char>(plan.slow, plan.count));
    ProfileGradient out;
    out.value.value = edge.value + integral.integral[0] / law.flux;
    out.du = edge.du + integral.integral[1] / law.flux;
    out.drho = edge.drho + integral.integral[2] / law.flux;
    // dA/dc = (J_c - (J_0 / N) dN/dc) / N.
    const double excess = integral.integral[0] / law.flux;
    for (std::size_t j = 0; j < coefficients.count; ++j) {
        out.dlimb[j] = (integral.integral[3 + j] - excess * coefficients.analytic[j].flux) / law.flux;
    }
    double worst = 0.0;
    for (std::size_t k = 0; k < kGradientComponents; ++k) {
        worst = std::max(worst, integral.estimate[k] / target[k] * (rtol * budget::kQuadrature));
    }
    out.value.estimate = worst;
    out.value.converged = integral.converged && worst <= rtol;
    out.value.evaluations = integral.evaluations + 1;
    return out;
}

ProfileValue analytic_law(double u, double rho, const PreparedLaw& law, double rtol) {
    const double edge = witt_mao_magnification_scaled(u, rho);  // F(1)
    const AnglePlan plan = plan_angle_segments(u / rho, rho, limb_slope(law));
    Piece pieces[kMostAngleSegments];
    for (std::size_t i = 0; i < plan.count; ++i) pieces[i] = {static_cast<unsigned>(i), 0.0, 1.0};
    // The result is of the order of the uniform disk's: the target is a fraction of that.
    const double target = rtol * budget::kQuadrature * std::fabs(law.flux * edge);
    numerics::PiecesSpace<numerics::FejerRule, 1> space;
    const numerics::PiecesResult<1> integral = numerics::adaptive_pieces<numerics::FejerRule>(
        std::span<const Piece>(pieces, plan.count), AnalyticIntegrand{u, rho, edge, law, plan.segments}, {target},
        space, std::span<const unsigned char>(plan.slow, plan.count));
    const double magnified = edge * law.flux + integral.integral[0];
    ProfileValue out;
    out.value = edge + integral.integral[0] / law.flux;
    out.estimate = integral.estimate[0] / std::fabs(magnified);
    out.converged = integral.converged && out.estimate <= rtol;
    out.evaluations = integral.evaluations + 1;
    return out;
}

}  // namespace

ProfileGradient gradient_by_quadrature(double u, double rho, const PreparedLaw& law, const LawGradient& coefficients,
                                       double rtol, double* table_row) {
    if (law.law.kind != LawKind::tabulated) return analytic_gradient(u, rho, law, coefficients, rtol);
    return tabulated_gradient_by_quadrature(u, rho, law, rtol, table_row);
}

ProfileValue profile_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol) {
    if (law.law.kind != LawKind::tabulated) return analytic_law(u, rho, law, rtol);
    return tabulated_by_quadrature(u, rho, law, rtol);
}

}  // namespace mirvanta::models
