// Where the integral of one separation over the source is cut into segments, and how each
// segment's variable meets its singular end: the one planner of the profile engine's quadratures,
// for the analytic laws' integral in an angle and for a tabulated profile's in x.
//
// The integrand, G(x) = x^2 (A_disk(u, x rho) - A_disk(u, rho)) times the law's weight, bends as
// (x - x*) ln|x - x*| at x* = u/rho, where a disk's limb crosses the lens; its other singularities
// lie at the mirror -x* and at x* +- 2i/rho (where a disk's limb meets the point-source
// magnification's branch points, 2i Einstein radii off the lens, close to the real axis for a
// large source); the analytic laws' weight is singular at the limb as mu^e. A segment that ends at
// x* takes the bend as its variable's t^3 (t^5 ln t); every other end of a segment lies at least
// the segment's half-length from every singularity, so that no piece ends next to one: the
// segments halve their length towards x* down to the distance of the nearest other singularity
// (grading_cuts), and those graded away from a singularity beyond their near end quadruple theirs.
#pragma once

#include <cstddef>

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

// The bend's power: a segment that ends at x* takes its variable as x* plus a multiple of t^3,
// which makes the bend t^5 ln t and leaves the rules their fast convergence.
inline constexpr double kBendPower = 3.0;

// The bend's power for derivatives: dA_disk/du and dA_disk/drho diverge as ln|x - x*| where a
// disk's limb crosses the lens, which t^3 leaves as t^2 ln t, on which the rules converge slowly
// (four times the points of the value alone); t^5 makes that t^4 ln t (and the value t^9 ln t).
inline constexpr double kGradientBendPower = 5.0;

// At most this many halvings on either side of the bend (a source of rho up to 2^kGrading / 2 is
// graded all the way).
inline constexpr std::size_t kGrading = 16;

// The grading's finest scale: how far x* +- 2i/rho lie off the real axis, in x, or the distance
// 2x* from x* to its mirror -x*, whichever is less.
double finest_scale(double bend, double rho);

// The cuts x* - finest 2^k (below) or x* + finest 2^k (above x*), k < kGrading, that lie strictly
// within (lo, hi), ascending, into out; their count.
std::size_t grading_cuts(double bend, double finest, double lo, double hi, bool above, double* out);

// ---- The analytic laws: segments in an angle

// A segment in an angle: x = sin(theta) from the centre, or, for the segments at the limb,
// x = cos(phi), mu = sin(phi) with phi = pi/2 - theta (so that mu keeps its relative precision
// next to the limb). The angle is start + direction length t^power for t in [0, 1], with the
// singular end (a bend, or the limb) at t = 0.
struct AngleSegment {
    double start, length, direction, power;
    bool from_limb;
};

// At most this many quarterings of the limb segment (limb_quarterings: 2 for the largest power, 8).
inline constexpr int kMostLimbQuarterings = 3;
inline constexpr std::size_t kMostAngleSegments = 2 * kGrading + 6 + kMostLimbQuarterings;

struct AnglePlan {
    AngleSegment segments[kMostAngleSegments];
    unsigned char slow[kMostAngleSegments] = {};  // segments the rules converge slowly on (adaptive_pieces.hpp)
    std::size_t count = 0;
};

// The segments for the bend x* = u/rho of a source of radius rho whose law's weight goes as
// mu^e, or mu^e ln(mu), at the limb (limb_slope).
AnglePlan plan_angle_segments(double bend, double rho, LimbSlope limb, double bend_power = kBendPower);

// The power of the limb segment's variable that smooths the weight mu^e there: phi = L t^k makes
// mu^e dphi about t^(k (e + 1) - 1) dt, a polynomial when k (e + 1) is a whole number. With a
// logarithm, mu^e ln(mu) dphi is about t^(k (e + 1) - 1) (ln L + k ln t) dt: the power makes that
// at least t^5 ln t, as at the bend.
double limb_power(LimbSlope limb);

// ---- Tabulated profiles: segments in x

// x(t) over t in [0, 1], one of
//   plain:         x = start + length t
//   bend at right: x = start - length (1 - t)^3   (start = x*)
//   bend at left:  x = start + length t^3        (start = x*)
// all increasing in t, so that pieces in order of t within a segment are in order of x.
enum class XMap : unsigned char { plain, bend_right, bend_left };

struct XSegment {
    XMap map;
    double start, length;
};

inline constexpr std::size_t kMostXSegments = 2 * kGrading + 4;

struct XPlan {
    XSegment segments[kMostXSegments];
    std::size_t count = 0;
};

// The segments of [0, 1] for the bend x* = u/rho: cut at x* (inside, or at the limb) and graded
// towards it, or, with the lens outside, graded towards the limb down to x* - 1.
XPlan plan_x_segments(double bend, double rho);

inline double x_at(const XSegment& p, double t) {
    switch (p.map) {
        case XMap::plain: return p.start + p.length * t;
        case XMap::bend_right: {
            const double s = 1.0 - t;
            return p.start - p.length * (s * s * s);
        }
        case XMap::bend_left: return p.start + p.length * (t * t * t);
    }
    return 0.0;
}

inline double dx_dt(const XSegment& p, double t) {
    switch (p.map) {
        case XMap::plain: return p.length;
        case XMap::bend_right: return 3.0 * p.length * ((1.0 - t) * (1.0 - t));
        case XMap::bend_left: return 3.0 * p.length * (t * t);
    }
    return 0.0;
}

// The inverse of x_at.
double t_at(const XSegment& p, double x);

}  // namespace mirvanta::models
