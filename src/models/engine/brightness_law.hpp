// Radially symmetric brightness laws of a source star, and what the profile engine needs of them:
// their unmagnified flux, their normalised even moments and the derivative of the brightness.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mirvanta::models {

// A brightness law in mu = sqrt(1 - x^2), x the radius fraction (0 centre, 1 limb). Unnormalised:
// the engine divides by the law's own flux.
//   uniform      I = 1
//   linear       I = 1 - p (1 - mu)                         (p = c)
//   quadratic    I = 1 - p (1 - mu) - q (1 - mu)^2          (p = a, q = b)
//   square_root  I = 1 - p (1 - mu) - q (1 - sqrt(mu))      (p = c, q = d)
//   power2       I = 1 - p (1 - mu^q)                       (p = c, q = alpha > 0)
//   tabulated    `brightness` interpolated linearly between the ascending `radii` in [0, 1], 0
//                outside them, as the flux maps read theirs (numerics::linear_interpolate); equal
//                radii are a step; one radius: that brightness everywhere. Borrowed.
enum class LawKind { uniform, linear, quadratic, square_root, power2, tabulated };
struct BrightnessLaw {
    LawKind kind = LawKind::uniform;
    double p = 0.0, q = 0.0;
    std::span<const double> radii, brightness;
};

// The analytic laws as sums of powers of mu, I = sum_j weight_j mu^power_j, with power_0 = 0 (the
// brightness at the limb is weight_0).
struct MuPower {
    double weight, power;
};

// The number of even moments the far-field series can use.
inline constexpr std::size_t kMostMoments = 24;

// What the engine needs of a law, computed once per call on the calling thread.
struct PreparedLaw {
    BrightnessLaw law;
    std::array<MuPower, 3> terms{};  // the analytic laws' powers of mu
    std::size_t term_count = 0;
    double flux = 0.0;  // int_0^1 2 x I(x) dx, the unmagnified flux over pi
    // moment_factor[k] = (k + 1) <x^(2k)>, the mean of x^(2k) over the source weighted by the
    // brightness, divided by its value for the uniform disk (1/(k + 1)); moment_factor[0] = 1.
    std::array<double, kMostMoments + 1> moment_factor{};
    bool uniform = false;  // a uniform disk: the kernel's value is the answer
};

PreparedLaw prepare_law(const BrightnessLaw& law);

// dI/dmu at mu (analytic laws), the weight of the engine's integral; mu in (0, 1].
double brightness_slope(const PreparedLaw& law, double mu);

// The part of dI/dmu that is singular at the limb, as c mu^e: the analytic laws' most negative
// exponent e of mu in dI/dmu (0 for linear and quadratic, -1/2 for square_root, alpha - 1 for
// power2), which the quadrature's substitution at the limb takes out.
double limb_slope_exponent(const PreparedLaw& law);

}  // namespace mirvanta::models
