#include "models/profile_quadrature.hpp"

#include <algorithm>
#include <cmath>

#include "models/witt_mao.hpp"
#include "models/witt_mao_range.hpp"
#include "numerics/adaptive_fejer.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {
namespace {

using numerics::FejerPiece;
using numerics::kHalfPi;

// The disk's magnified flux bends as (x - x*) ln|x - x*| where its limb crosses the lens; a
// segment that ends there takes its variable as the bend plus a multiple of t^3, which makes that
// t^5 ln t and leaves the rules their fast convergence.
constexpr double kBendPower = 3.0;

// The target of the absolute error: this fraction of rtol times the uniform disk's magnified
// flux, of the order of the result (the estimates are conservative: the true errors measured
// are far below them).
constexpr double kTargetShare = 0.5;

// At most this many halvings on either side of the bend (a source of rho up to 2^kGrading / 2
// is graded all the way), and the segments that they make with the others.
constexpr std::size_t kGrading = 16;
constexpr std::size_t kMostSegments = 2 * kGrading + 6;

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
    void operator()(const unsigned* segment, const double* t, std::size_t n, double* out) const {
        double x[256], mu[256], jacobian[256];
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
            out[i] = ((excess * x[i]) * brightness_slope(law, mu[i])) * jacobian[i];
        }
    }
};

// Segment s_i = [r_i, r_(i+1)] (or part of it) of a tabulated profile: x = start + direction
// length t^power; the integrand is F(x) times the Jacobian (the slope is applied per segment).
struct LinearSegment {
    double start, length, direction, power, slope;
};

struct TabulatedIntegrand {
    double u, rho, edge;
    const LinearSegment* segments;

    void operator()(const unsigned* segment, const double* t, std::size_t n, double* out) const {
        double x[256], factor[256];
        for (std::size_t i = 0; i < n; ++i) {
            const LinearSegment& s = segments[segment[i]];
            x[i] = s.start + s.direction * (s.length * power_of(t[i], s.power));
            factor[i] = s.slope * s.length * s.power * (s.power == 1.0 ? 1.0 : power_of(t[i], s.power - 1.0));
            out[i] = x[i] * rho;
        }
        witt_mao_magnification_radii(u, std::span<const double>(out, n), out);
        for (std::size_t i = 0; i < n; ++i) out[i] = ((x[i] * x[i]) * (out[i] - edge)) * factor[i];
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
    FejerPiece pieces[kMostSegments];
    std::size_t count = 0;
    const auto add = [&](AngleSegment s) {
        segments[count] = s;
        pieces[count] = {static_cast<unsigned>(count), 0.0, 1.0};
        ++count;
    };
    const auto plain = [&](double from, double to) { add({from, to - from, 1.0, 1.0, false}); };
    // From the angle phi0 off the limb to the limb itself, in phi (the limb's weight mu^e is taken
    // out by its power).
    const auto limb_side = [&](double phi0) { add({0.0, phi0, 1.0, at_limb, true}); };
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
        limb_side(kHalfPi - outer_middle);
    } else if (bend == 1.0) {
        add({0.0, kHalfPi * 0.5, 1.0, 1.0, false});
        add({0.0, kHalfPi * 0.5, 1.0, at_limb == 1.0 ? kBendPower : at_limb, true});
    } else {
        // The bend lies off the source, at phi = i acosh(x*) from the limb: a piece of that
        // length at the limb, unless that is longer than half the way.
        const double off = std::acosh(bend);
        const double near = off < kHalfPi * 0.5 ? off : kHalfPi * 0.5;
        add({0.0, kHalfPi - near, 1.0, 1.0, false});
        limb_side(near);
    }
    // The result is of the order of the uniform disk's: the target is a fraction of that.
    const double target = rtol * kTargetShare * std::fabs(law.flux * edge);
    const numerics::FejerResult integral = numerics::adaptive_fejer(
        std::span<const FejerPiece>(pieces, count), AnalyticIntegrand{u, rho, edge, law, segments}, target);
    const double magnified = edge * law.flux + integral.integral;
    ProfileValue out;
    out.value = edge + integral.integral / law.flux;
    out.estimate = integral.estimate / std::fabs(magnified);
    out.converged = integral.converged && out.estimate <= rtol;
    out.evaluations = integral.evaluations + 1;
    return out;
}

// The tabulated profile: I linear between the radii, so dI is the slope s_j dx on each segment,
// plus a step at each pair of equal radii, the rise bf_0 at the first radius and the drop
// bf_(n-1) at the last: with G in place of F as above, the magnified flux is F(1) N +
// bf_(n-1) G(r_(n-1)) - bf_0 G(r_0) - sum over steps (bf_(j+1) - bf_j) G(r_j)
// - sum_j s_j int_(r_j)^(r_(j+1)) G dx. The segments are integrated a group at a time, each group
// to its share of the target by its variation.
ProfileValue tabulated_law(double u, double rho, const PreparedLaw& law, double rtol) {
    const std::span<const double> r = law.law.radii, b = law.law.brightness;
    const std::size_t n = std::min(r.size(), b.size());
    const double edge = witt_mao_magnification_scaled(u, rho);
    // G(x) = x^2 (A_disk(u, x rho) - A_disk(u, rho)), as for the analytic laws.
    const auto disk_flux = [&](double x) {
        return x == 0.0 ? 0.0 : (x * x) * (witt_mao_magnification_scaled(u, x * rho) - edge);
    };
    const double bend = u / rho;
    ProfileValue out;
    double magnified = b[n - 1] * disk_flux(r[n - 1]) - b[0] * disk_flux(r[0]);
    unsigned evaluations = 3;
    double variation = 0.0;  // int |dI| over the segments
    for (std::size_t j = 0; j + 1 < n; ++j) {
        if (r[j + 1] > r[j]) {
            variation += std::fabs(b[j + 1] - b[j]);
        } else if (b[j + 1] != b[j]) {
            magnified -= (b[j + 1] - b[j]) * disk_flux(r[j]);
            ++evaluations;
        }
    }
    const double target = rtol * kTargetShare * std::fabs(law.flux * edge);
    // The segments are split where the analytic laws' angle is (models' other segments): at the
    // bend x*, and in pieces that halve their length towards it down to the distance of the
    // nearest other singularity (x* +- 2i/rho, -x*); the pieces that end at x* take the t^3
    // substitution there.
    const double finest = bend > 0.0 ? std::min(2.0 / rho, 2.0 * bend) : 2.0 / rho;
    constexpr std::size_t kGroup = 16;
    constexpr std::size_t kMostPieces = 2 * kGroup + 2 * kGrading + 4;
    LinearSegment segments[kMostPieces];
    FejerPiece pieces[kMostPieces];
    double estimate = 0.0;
    bool converged = true;
    std::size_t j = 0;
    while (j + 1 < n) {
        std::size_t count = 0;
        double group_variation = 0.0;
        for (std::size_t taken = 0; taken < kGroup && j + 1 < n; ++j) {
            const double lo = r[j], hi = r[j + 1];
            if (!(hi > lo) || b[j + 1] == b[j]) continue;
            ++taken;
            const double slope = (b[j + 1] - b[j]) / (hi - lo);
            group_variation += std::fabs(b[j + 1] - b[j]);
            const auto add = [&](double from, double to) {
                // t^3 towards the bend at either end
                if (to == bend) {
                    segments[count] = {bend, to - from, -1.0, kBendPower, slope};
                } else if (from == bend) {
                    segments[count] = {bend, to - from, 1.0, kBendPower, slope};
                } else {
                    segments[count] = {from, to - from, 1.0, 1.0, slope};
                }
                pieces[count] = {static_cast<unsigned>(count), 0.0, 1.0};
                ++count;
            };
            // The cut points inside (lo, hi): x* and x* -+ finest 2^k, ascending.
            double cuts[2 * kGrading + 1];
            std::size_t cut_count = 0;
            for (std::size_t k = kGrading; k-- > 0;) {
                const double at = bend - std::ldexp(finest, static_cast<int>(k));
                if (at > lo && at < hi) cuts[cut_count++] = at;
            }
            if (bend > lo && bend < hi) cuts[cut_count++] = bend;
            for (std::size_t k = 0; k < kGrading; ++k) {
                const double at = bend + std::ldexp(finest, static_cast<int>(k));
                if (at > lo && at < hi) cuts[cut_count++] = at;
            }
            double from = lo;
            for (std::size_t c = 0; c < cut_count; ++c) {
                add(from, cuts[c]);
                from = cuts[c];
            }
            add(from, hi);
        }
        if (count == 0) continue;
        const numerics::FejerResult integral =
            numerics::adaptive_fejer(std::span<const FejerPiece>(pieces, count), TabulatedIntegrand{u, rho, edge, segments},
                                     target * (group_variation / variation));
        magnified -= integral.integral;
        estimate += integral.estimate;
        converged = converged && integral.converged;
        evaluations += integral.evaluations;
    }
    out.value = edge + magnified / law.flux;
    out.estimate = estimate / std::fabs(edge * law.flux + magnified);
    out.converged = converged && out.estimate <= rtol;
    out.evaluations = evaluations;
    return out;
}

}  // namespace

ProfileValue profile_by_quadrature(double u, double rho, const PreparedLaw& law, double rtol) {
    if (law.law.kind != LawKind::tabulated) return analytic_law(u, rho, law, rtol);
    return tabulated_law(u, rho, law, rtol);
}

}  // namespace mirvanta::models
