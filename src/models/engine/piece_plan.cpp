#include "models/engine/piece_plan.hpp"

#include <algorithm>
#include <cmath>
#include <complex>

#include "numerics/constants.hpp"

namespace mirvanta::models {
namespace {

using numerics::kHalfPi;

// Segments graded away from a singularity at (or beyond) their near end quadruple their length:
// [a, 4a] sees one at 0 at the Bernstein parameter 3 (the rules' errors fall as 3^-N, and
// faster), as a segment whose end is its half-length from one does (2.9 to 3.7).
constexpr double kReach = 4.0;

// The limb segment's integrand goes as t^(k (e + 1) - 1) at the limb: smooth where k (e + 1) is
// whole; where the power is capped (e + 1 < 3/4) a small power the rules converge slowly on,
// unless it is already that of a smooth enough integrand (t^5 and up).
constexpr double kSmoothEnoughOrder = 6.0;

// A power k (e + 1) this close to a whole number is taken as one (the exponents the laws give are
// exact fractions; 1e-12 is far above their rounding and far below any real fraction's distance).
constexpr double kWhole = 1e-12;

// Builds the segments of one analytic law's integral, in order of use.
class AngleBuilder {
public:
    AngleBuilder(double rho, LimbSlope limb, double bend_power)
        : rho_(rho), at_limb_(limb_power(limb)), bend_power_(bend_power) {
        const double order = at_limb_ * (limb.exponent + 1.0);
        slow_limb_ = std::fabs(order - std::round(order)) > kWhole && order < kSmoothEnoughOrder;
    }

    void lens_inside(double bend, double finest);
    void lens_on_limb();
    void lens_outside(double bend);
    const AnglePlan& plan() const { return plan_; }

private:
    void add(AngleSegment s) { plan_.segments[plan_.count++] = s; }
    void plain(double from, double to) { add({from, to - from, 1.0, 1.0, false}); }
    // From the angle phi0 off the limb to the limb itself, in phi (the limb's weight mu^e is taken
    // out by its power).
    void limb_side(double phi0) {
        add({0.0, phi0, 1.0, at_limb_, true});
        plan_.slow[plan_.count - 1] = slow_limb_;
    }
    // A plain segment [a, 4a] in phi, graded away from the limb.
    void limb_reach(double a) { add({a, (kReach - 1.0) * a, 1.0, 1.0, true}); }
    // The limb segment's power brings the singularities near: phi = L t^k carries one at
    // phi_s e^(i beta) to t = (phi_s / L)^(1/k) e^(i beta / k), close to t = 1 for a large k (the
    // bend at phi_s = 2L was at the Bernstein parameter 1.8 for k = 8). It lies outside the
    // ellipse of parameter 3 of the segment (in t, |t| + |t - 1| >= 5/3) when
    // |t| >= 8 / (15 - 9 cos(beta / k)), that is phi_s / L >= that to the power k: how many times
    // a limb segment of length phi_s / ratio must be quartered for that (the quarters then
    // graded back up by limb_reach).
    int limb_quarterings(double beta, double ratio) const {
        const double needed = std::pow(8.0 / (15.0 - 9.0 * std::cos(beta / at_limb_)), at_limb_);
        int m = 0;
        for (; ratio < needed && m < kMostLimbQuarterings; ++m) ratio *= kReach;
        return m;
    }

    AnglePlan plan_;
    double rho_, at_limb_, bend_power_;
    bool slow_limb_;
};

// The lens inside the source (or at its centre): towards the centre [0, theta*/2], then halving
// down to x* - finest, then to theta*; towards the limb from theta* up to x* + finest, doubling,
// then to the half-way point; then the limb, where the bend lies at phi_s = pi/2 - theta*, twice
// the limb segment's length.
void AngleBuilder::lens_inside(double bend, double finest) {
    const double theta = std::asin(bend);
    const double inner_middle = theta * 0.5, outer_middle = (theta + kHalfPi) * 0.5;
    double cuts[kGrading];
    if (bend > 0.0) {
        const std::size_t n = grading_cuts(bend, finest, std::sin(inner_middle), bend, false, cuts);
        plain(0.0, inner_middle);
        double from = inner_middle;
        for (std::size_t i = 0; i < n; ++i) {
            const double to = std::asin(cuts[i]);
            plain(from, to);
            from = to;
        }
        add({theta, theta - from, -1.0, bend_power_, false});
    }
    const std::size_t n = grading_cuts(bend, finest, bend, std::sin(outer_middle), true, cuts);
    double from = theta;
    for (std::size_t i = 0; i < n; ++i) {
        const double to = std::asin(cuts[i]);
        if (from == theta && bend > 0.0) {
            add({theta, to - theta, 1.0, bend_power_, false});
        } else {
            plain(from, to);
        }
        from = to;
    }
    if (from == theta && bend > 0.0) {
        add({theta, outer_middle - theta, 1.0, bend_power_, false});
    } else {
        plain(from, outer_middle);
    }
    const int m = limb_quarterings(0.0, 2.0);
    double at = std::ldexp(kHalfPi - outer_middle, -2 * m);
    limb_side(at);
    for (int i = 0; i < m; ++i, at *= kReach) limb_reach(at);
}

// The bend at the limb: half the way from the centre, half in phi to the limb, whose segment
// takes the power of both. x* +- 2i/rho lie at phi_c = acos(1 +- 2i/rho), close to the limb for
// a large source: the limb segment is quartered for them as for the bend elsewhere, and graded
// back up.
void AngleBuilder::lens_on_limb() {
    add({0.0, kHalfPi * 0.5, 1.0, 1.0, false});
    const std::complex<double> phi_c = std::acos(std::complex<double>(1.0, 2.0 / rho_));
    const int m = limb_quarterings(std::fabs(std::arg(phi_c)), std::abs(phi_c) / (kHalfPi * 0.5));
    double at = std::ldexp(kHalfPi * 0.5, -2 * m);
    add({0.0, at, 1.0, at_limb_ == 1.0 ? bend_power_ : at_limb_, true});
    // The bend at the limb leaves a power of t times ln t in the limb segment, on which the rules
    // converge algebraically: slow (a Claret law's order-8 and order-4 rules agreed by chance
    // there, 1.8e-5 off at rtol 1e-6).
    plan_.slow[plan_.count - 1] = true;
    for (int i = 0; i < m; ++i, at *= kReach) limb_reach(at);
}

// The bend off the source, at phi = +-i acosh(x*) from the limb: a limb segment of that length
// (unless that is longer than half the way; quartered where its power asks for it), then
// segments [a, 4a] in phi graded away from it up to a third of the way, and the rest from the
// centre. Without them, the segment from the centre ended next to the bend (at a tenth of its
// length for x* = 1.0002): its rules converged slowly, and an order-8 rule that agreed with the
// order-4 one by chance ended it 1e-5 off.
void AngleBuilder::lens_outside(double bend) {
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

}  // namespace

double finest_scale(double bend, double rho) { return bend > 0.0 ? std::min(2.0 / rho, 2.0 * bend) : 2.0 / rho; }

std::size_t grading_cuts(double bend, double finest, double lo, double hi, bool above, double* out) {
    std::size_t n = 0;
    if (above) {
        for (double d = finest; bend + d < hi && n < kGrading; d *= 2.0) {
            if (bend + d > lo) out[n++] = bend + d;
        }
        return n;
    }
    for (double d = finest; bend - d > lo && n < kGrading; d *= 2.0) {
        if (bend - d < hi) out[n++] = bend - d;
    }
    std::reverse(out, out + n);
    return n;
}

double limb_power(LimbSlope limb) {
    const double exponent = limb.exponent;
    const double a = exponent + 1.0;
    if (limb.logarithmic) return std::min(8.0, std::ceil(kSmoothEnoughOrder / a));
    if (exponent == 0.0) return 1.0;
    for (int k = 1; k <= 8; ++k) {
        const double ka = k * a;
        if (std::fabs(ka - std::round(ka)) < kWhole) return k;
    }
    // The least power that makes t^(k (e + 1) - 1) at least t^5, at most 8.
    return std::min(8.0, std::ceil(kSmoothEnoughOrder / a));
}

AnglePlan plan_angle_segments(double bend, double rho, LimbSlope limb, double bend_power) {
    AngleBuilder builder(rho, limb, bend_power);
    if (bend >= 0.0 && bend < 1.0) {
        builder.lens_inside(bend, finest_scale(bend, rho));
    } else if (bend == 1.0) {
        builder.lens_on_limb();
    } else {
        builder.lens_outside(bend);
    }
    return builder.plan();
}

XPlan plan_x_segments(double bend, double rho) {
    double cuts[kMostXSegments];
    std::size_t n = 0;
    cuts[n++] = 0.0;
    if (bend <= 1.0) {
        const double finest = finest_scale(bend, rho);
        n += grading_cuts(bend, finest, 0.0, 1.0, false, cuts + n);
        if (bend > 0.0 && bend < 1.0) cuts[n++] = bend;
        n += grading_cuts(bend, finest, 0.0, 1.0, true, cuts + n);
    } else {
        n += grading_cuts(1.0, bend - 1.0, 0.0, 1.0, false, cuts + n);
    }
    cuts[n++] = 1.0;
    XPlan plan;
    for (std::size_t c = 0; c + 1 < n; ++c) {
        const double from = cuts[c], to = cuts[c + 1];
        if (to == bend) {
            plan.segments[plan.count++] = {XMap::bend_right, bend, to - from};
        } else if (from == bend && bend > 0.0) {
            plan.segments[plan.count++] = {XMap::bend_left, bend, to - from};
        } else {
            plan.segments[plan.count++] = {XMap::plain, from, to - from};
        }
    }
    return plan;
}

double t_at(const XSegment& p, double x) {
    switch (p.map) {
        case XMap::plain: return (x - p.start) / p.length;
        case XMap::bend_right: return 1.0 - std::cbrt((p.start - x) / p.length);
        case XMap::bend_left: return std::cbrt((x - p.start) / p.length);
    }
    return 0.0;
}

}  // namespace mirvanta::models
