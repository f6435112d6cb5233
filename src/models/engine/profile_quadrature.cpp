#include "models/engine/profile_quadrature.hpp"

#include <algorithm>
#include <cmath>
#include <complex>

#include "models/engine/profile_segments.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/adaptive_pieces.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {
namespace {

using numerics::Piece;
using numerics::kHalfPi;

using profile_detail::kBendPower;
using profile_detail::kGrading;

// Pieces graded away from a singularity at (or beyond) their near end quadruple their length:
// [a, 4a] sees one at 0 at the Bernstein parameter 3 (the rules' errors fall as 3^-N, and faster),
// as a piece whose end is its half-length from one does (2.9 to 3.7).
constexpr double kReach = 4.0;

// At most this many quarterings of the limb segment (limb_quarterings: 2 for the largest power, 8).
constexpr int kMostLimbQuarterings = 3;

// The segments that the grading makes with the others.
constexpr std::size_t kMostSegments = 2 * kGrading + 6 + kMostLimbQuarterings;

// A segment of the integral in an angle: x = sin(theta) from the centre, or, for the segment at
// the limb, x = cos(phi), mu = sin(phi) with phi = pi/2 - theta (so that mu keeps its relative
// precision next to the limb). The angle is start + direction length t^power for t in [0, 1],
// with the singular end (a bend, or the limb) at t = 0.
struct AngleSegment {
    double start, length, direction, power;
    bool from_limb;
};

// Raises t^power for the powers the segments use (1, 2, 3 and others).
inline double power_of(double t, double power) {
    if (power == 1.0) return t;
    if (power == 2.0) return t * t;
    if (power == 3.0) return t * t * t;
    return std::pow(t, power);
}

// The power that smooths the weight mu^e at the limb: phi = L t^k makes mu^e dphi about
// t^(k (e + 1) - 1) dt, a polynomial when k (e + 1) is a whole number.
double limb_power(double exponent) {
    if (exponent == 0.0) return 1.0;
    const double a = exponent + 1.0;
    for (int k = 1; k <= 8; ++k) {
        const double ka = k * a;
        if (std::fabs(ka - std::round(ka)) < 1e-12) return k;
    }
    return std::min(8.0, std::ceil(6.0 / a));
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
        for (std::size_t i = 0; i < n; ++i) {
            const double excess = (x[i] * x[i]) * (out[i] - edge);
            values[i][0] = ((excess * x[i]) * brightness_slope(law, mu[i])) * jacobian[i];
        }
    }
};

ProfileValue analytic_law(double u, double rho, const PreparedLaw& law, double rtol) {
    const double edge = witt_mao_magnification_scaled(u, rho);  // F(1)
    const double bend = u / rho;                                // x*, where a disk's limb meets the lens
    const double exponent = limb_slope_exponent(law);
    const double at_limb = limb_power(exponent);
    // The segments: F(sin theta) is analytic but where a disk's limb meets the lens, at
    // theta = +-theta* and pi -+ theta* (sin theta = +-x*; complex angles for x* > 1), and where
    // the disk's limb meets the point-source magnification's own singularities, 2i Einstein radii
    // off the lens: x = +-x* +- 2i/rho, close to the real axis for a large source. A segment
    // that ends at theta* takes the t^3 substitution there; every other end of a segment is at
    // least the segment's half-length from the nearest of those points (the segments halve their
    // length towards x* down to the distance of the nearest other singularity from it), so that
    // each converges geometrically.
    AngleSegment segments[kMostSegments];
    Piece pieces[kMostSegments];
    unsigned char slow[kMostSegments] = {};
    std::size_t count = 0;
    const auto add = [&](AngleSegment s) {
        segments[count] = s;
        pieces[count] = {static_cast<unsigned>(count), 0.0, 1.0};
        ++count;
    };
    // The limb segment's integrand goes as t^(k (e + 1) - 1) at the limb: smooth where k (e + 1)
    // is whole, else, where the power is capped (e + 1 < 3/4), a small power the rules converge
    // slowly on.
    const double limb_order = at_limb * (exponent + 1.0);
    const bool slow_limb = std::fabs(limb_order - std::round(limb_order)) > 1e-12 && limb_order < 6.0;
    const auto plain = [&](double from, double to) { add({from, to - from, 1.0, 1.0, false}); };
    // From the angle phi0 off the limb to the limb itself, in phi (the limb's weight mu^e is taken
    // out by its power).
    const auto limb_side = [&](double phi0) {
        add({0.0, phi0, 1.0, at_limb, true});
        slow[count - 1] = slow_limb;
    };
    // A plain piece [a, 4a] in phi, graded away from the limb.
    const auto limb_reach = [&](double a) { add({a, (kReach - 1.0) * a, 1.0, 1.0, true}); };
    // The limb segment's power brings the singularities near: phi = L t^k carries one at
    // phi_s e^(i beta) to t = (phi_s / L)^(1/k) e^(i beta / k), close to t = 1 for a large k (the
    // bend at phi_s = 2L was at the Bernstein parameter 1.8 for k = 8). It lies outside the
    // ellipse of parameter 3 of the segment (in t, |t| + |t - 1| >= 5/3) when
    // |t| >= 8 / (15 - 9 cos(beta / k)), that is phi_s / L >= that to the power k: how many times
    // a limb segment of length phi_s / ratio must be quartered for that (the quarters then
    // graded back up by limb_reach).
    const auto limb_quarterings = [&](double beta, double ratio) {
        const double needed = std::pow(8.0 / (15.0 - 9.0 * std::cos(beta / at_limb)), at_limb);
        int m = 0;
        for (; ratio < needed && m < kMostLimbQuarterings; ++m) ratio *= kReach;
        return m;
    };
    // The grading's finest scale: how far x* +- 2i/rho lie off the real axis, in x, or the
    // distance 2x* from x* to its mirror -x*, whichever is less.
    const double off_axis = bend > 0.0 ? std::min(2.0 / rho, 2.0 * bend) : 2.0 / rho;
    if (bend >= 0.0 && bend < 1.0) {
        const double theta = std::asin(bend);
        const double inner_middle = theta * 0.5, outer_middle = (theta + kHalfPi) * 0.5;
        // Towards the centre: [0, theta*/2], then halving down to x* - 2/rho, then to theta*.
        double steps[kMostSegments];
        std::size_t n = 0;
        for (double d = off_axis; bend - d > std::sin(inner_middle) && n < kGrading; d *= 2.0) steps[n++] = bend - d;
        if (bend > 0.0) {
            plain(0.0, inner_middle);
            double from = inner_middle;
            for (std::size_t i = n; i-- > 0;) {
                const double to = std::asin(steps[i]);
                plain(from, to);
                from = to;
            }
            add({theta, theta - from, -1.0, kBendPower, false});
        }
        // Towards the limb: from theta* (or the centre) up to x* + 2/rho, doubling, then to the
        // half-way point and the limb.
        n = 0;
        for (double d = off_axis; bend + d < std::sin(outer_middle) && n < kGrading; d *= 2.0) steps[n++] = bend + d;
        double from = theta;
        for (std::size_t i = 0; i < n; ++i) {
            const double to = std::asin(steps[i]);
            if (from == theta && bend > 0.0) {
                add({theta, to - theta, 1.0, kBendPower, false});
            } else {
                plain(from, to);
            }
            from = to;
        }
        if (from == theta && bend > 0.0) {
            add({theta, outer_middle - theta, 1.0, kBendPower, false});
        } else {
            plain(from, outer_middle);
        }
        // The limb: the bend lies at phi_s = pi/2 - theta*, twice the limb segment's length.
        const int m = limb_quarterings(0.0, 2.0);
        double at = std::ldexp(kHalfPi - outer_middle, -2 * m);
        limb_side(at);
        for (int i = 0; i < m; ++i, at *= kReach) limb_reach(at);
    } else if (bend == 1.0) {
        // The bend at the limb: half the way from the centre, half in phi to the limb, whose
        // segment takes the power of both. x* +- 2i/rho lie at phi_c = acos(1 +- 2i/rho), close to
        // the limb for a large source: the limb segment is quartered for them as for the bend
        // elsewhere, and graded back up.
        add({0.0, kHalfPi * 0.5, 1.0, 1.0, false});
        const std::complex<double> phi_c = std::acos(std::complex<double>(1.0, 2.0 / rho));
        const int m = limb_quarterings(std::fabs(std::arg(phi_c)), std::abs(phi_c) / (kHalfPi * 0.5));
        double at = std::ldexp(kHalfPi * 0.5, -2 * m);
        add({0.0, at, 1.0, at_limb == 1.0 ? kBendPower : at_limb, true});
        slow[count - 1] = slow_limb;
        for (int i = 0; i < m; ++i, at *= kReach) limb_reach(at);
    } else {
        // The bend lies off the source, at phi = +-i acosh(x*) from the limb: a limb segment of
        // that length (unless that is longer than half the way; quartered where its power asks
        // for it), then pieces [a, 4a] in phi graded away from it up to a third of the way, and
        // the rest from the centre. Without them, the piece from the centre ended next to the
        // bend (at a tenth of its length for x* = 1.0002): its rules converged slowly, and an
        // order-8 rule that agreed with the order-4 one by chance ended it 1e-5 off.
        const double off = std::acosh(bend);
        const double near = off < kHalfPi * 0.5 ? off : kHalfPi * 0.5;
        double from = std::ldexp(near, -2 * limb_quarterings(kHalfPi, off / near));
        limb_side(from);
        for (std::size_t i = 0; i < kGrading + kMostLimbQuarterings && kReach * from < kHalfPi * (2.0 / 3.0); ++i) {
            limb_reach(from);
            from *= kReach;
        }
        add({0.0, kHalfPi - from, 1.0, 1.0, false});
    }
    // The result is of the order of the uniform disk's: the target is a fraction of that.
    const double target = rtol * budget::kQuadrature * std::fabs(law.flux * edge);
    numerics::PiecesSpace<1> space;
    const numerics::PiecesResult<1> integral = numerics::adaptive_pieces<numerics::FejerRule>(
        std::span<const Piece>(pieces, count), AnalyticIntegrand{u, rho, edge, law, segments}, {target}, space,
        std::span<const unsigned char>(slow, count));
    const double magnified = edge * law.flux + integral.integral[0];
    ProfileValue out;
    out.value = edge + integral.integral[0] / law.flux;
    out.estimate = integral.estimate[0] / std::fabs(magnified);
    out.converged = integral.converged && out.estimate <= rtol;
    out.evaluations = integral.evaluations + 1;
    return out;
}

}  // namespace

ProfileValue profile_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol) {
    if (law.law.kind != LawKind::tabulated) return analytic_law(u, rho, law, rtol);
    return tabulated_by_quadrature(u, rho, law, rtol);
}

}  // namespace mirvanta::models
