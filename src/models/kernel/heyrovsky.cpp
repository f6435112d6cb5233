#include "models/kernel/heyrovsky.hpp"

#include <cmath>

#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"

namespace mirvanta::models {

namespace {

// Half-width of the zone around the ring, as a fraction of s = l + r, in which K and Pi are
// computed from the complements 1 - n = (f/s)^2 and 1 - m. Forming them from n and m costs a
// relative error of up to about 0.8 eps (s/f)^2: at most 4.5e-13 at the zone's edge |f| = 0.02 s
// (measured over 20 000 rings; at |f| = 0.01 s it reaches 1.1e-12).
constexpr double kNearRingZone = 0.02;

// The elliptic form squares s = l + r, f = r - l and q and divides their squares: with s and q
// both within [2^-200, 2^200] no product overflows or loses digits to underflow. The result
// depends only on the ratios of l, r and q, so other scales are brought there by a power of two,
// which changes no bit.
constexpr double kLowestScale = 0x1p-200;
constexpr double kHighestScale = 0x1p200;

bool within_scale(double x) { return x >= kLowestScale && x <= kHighestScale; }

// The ring mean by the elliptic form, f = r - l != 0.
ModelResult<double> elliptic_form(double l, double r, double q) {
    const double f = r - l;
    const double s = l + r;
    const double d = f * f + 4.0 * q * q;
    const double n = (4.0 * l * r) / (s * s);
    double h;
    if (std::fabs(f) < kNearRingZone * s) {
        const double ratio = f / s;
        const double one_minus_n = ratio * ratio;
        const double one_minus_m = one_minus_n * ((s * s + 4.0 * q * q) / d);
        const numerics::CompleteIntegrals integrals =
            numerics::complete_integrals_from_complements(n, one_minus_n, one_minus_m);
        h = (4.0 / (s * std::sqrt(d))) * ((f * f) * integrals.pi + (2.0 * q * q) * integrals.k);
    } else {
        const double k = ((4.0 * q) / s) * std::sqrt((l * r) / d);
        const double m = k * k;
        const auto big_k = numerics::ellipk(m);
        if (!big_k) return DeferredError::from(big_k.error());
        const auto p = numerics::ellippi(n, m);
        if (!p) return DeferredError::from(p.error());
        h = (4.0 / (s * std::sqrt(d))) * ((f * f) * p.value() + (2.0 * q * q) * big_k.value());
    }
    return h / numerics::kTwoPi;
}

// finite l, r >= 0 with f != 0 and finite q > 0, with s or q outside [2^-200, 2^200]: scaled so
// that s lies in [1, 2). If q is then still beyond 2^200 the ring is that many times smaller than
// the Einstein radius: m = n and the f^2 Pi term drops out to 2^-400 relative, leaving
// (4 q / s) K(n) / (2 pi), which may exceed the largest double (+inf). If q is below 2^-200 the
// ring is that many times larger: its mean exceeds 1 by at most about (q / (pi s)) ln(q / |f|),
// below 1e-57.
ModelResult<double> at_extreme_scale(double l, double r, double q) {
    int exponent = 0;
    std::frexp(l + r, &exponent);
    const int k = 1 - exponent;
    l = std::ldexp(l, k);
    r = std::ldexp(r, k);
    q = std::ldexp(q, k);
    if (q < kLowestScale) return 1.0;
    if (q <= kHighestScale) return elliptic_form(l, r, q);
    const double f = r - l;
    const double s = l + r;
    const double n = (4.0 * l * r) / (s * s);
    double big_k;
    if (std::fabs(f) < kNearRingZone * s) {
        const double ratio = f / s;
        const double one_minus_n = ratio * ratio;
        big_k = numerics::complete_integrals_from_complements(n, one_minus_n, one_minus_n).k;
    } else {
        const auto value = numerics::ellipk(n);
        if (!value) return DeferredError::from(value.error());
        big_k = value.value();
    }
    return (((4.0 * q) / s) * big_k) / numerics::kTwoPi;
}

}  // namespace

ModelResult<double> heyrovsky_magnification(double l, double r, double re, double rstar) {
    const double q = re / rstar;  // Einstein radius in source radii
    if (q < 0.0) return numerics::kNaN;  // a negative source or Einstein radius
    const double f = r - l;
    const double s = l + r;
    if (f == 0.0) {
        // On the ring the mean diverges (logarithmically): +inf for a ring through the lens,
        // NaN for l = r = 0 and for an Einstein radius that is not a positive number.
        return l > 0.0 && q > 0.0 && q < numerics::kInfinity ? numerics::kInfinity : numerics::kNaN;
    }
    if (!(within_scale(s) && within_scale(q)) && l >= 0.0 && r >= 0.0 && s < numerics::kInfinity && q > 0.0 &&
        q < numerics::kInfinity) {
        return at_extreme_scale(l, r, q);
    }
    return elliptic_form(l, r, q);
}

}  // namespace mirvanta::models
