// Radially symmetric brightness laws of a source star, and what the profile engine needs of them:
// their unmagnified flux, their normalised even moments and the derivative of the brightness. The
// analytic laws are defined once, in law_table.cpp, as sums of basis terms; everything here is
// derived from those terms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mirvanta::models {

// A brightness law in mu = sqrt(1 - x^2), x the radius fraction (0 centre, 1 limb). Unnormalised:
// the engine divides by the law's own flux. The analytic laws and their coefficients, in the
// order of `coefficients`, are those of law_table.cpp:
//   uniform      I = 1
//   linear       I = 1 - c (1 - mu)
//   quadratic    I = 1 - a (1 - mu) - b (1 - mu)^2
//   square_root  I = 1 - c (1 - mu) - d (1 - sqrt(mu))
//   power2       I = 1 - c (1 - mu^alpha)                    (alpha > 0)
//   logarithmic  I = 1 - c (1 - mu) - d mu ln(mu)
//   claret       I = 1 - sum_k a_k (1 - mu^(k/2)), k = 1..4
//   tabulated    `brightness` interpolated linearly between the ascending `radii` in [0, 1], 0
//                outside them, as the flux maps read theirs (numerics::linear_interpolate); equal
//                radii are a step; one radius: that brightness everywhere. Borrowed.
enum class LawKind { uniform, linear, quadratic, square_root, power2, logarithmic, claret, tabulated };

// The most coefficients a law takes.
inline constexpr std::size_t kMostCoefficients = 4;

struct BrightnessLaw {
    LawKind kind = LawKind::uniform;
    std::array<double, kMostCoefficients> coefficients{};  // the law's, in order; the rest 0
    std::span<const double> radii, brightness;
};

// One basis term of an analytic law, weight mu^power, times ln(mu) where `logarithmic`.
struct LawTerm {
    double weight, power;
    bool logarithmic = false;
};

// The most terms of a law (term 0 is the constant, power 0: the brightness at the limb).
inline constexpr std::size_t kMostTerms = 5;

// The number of even moments the far-field series can use.
inline constexpr std::size_t kMostMoments = 24;

// One term of dI/dmu: scale mu^exponent, times ln(mu) where `logarithmic`. `form` says how mu^e is
// evaluated: 1, mu, 1/sqrt(mu) (as a division), sqrt(mu), or std::pow.
struct SlopeTerm {
    enum class Form : std::uint8_t { one, mu, inverse_sqrt, sqrt, power };
    double scale, exponent;
    Form form;
    bool logarithmic;
};

// How dI/dmu is singular at the limb: as mu^exponent, times ln(mu) where `logarithmic`; exponent 0
// without a logarithm where it is analytic there (whole non-negative powers only).
struct LimbSlope {
    double exponent = 0.0;
    bool logarithmic = false;
};

// What the engine needs of a law, computed once per call on the calling thread.
struct PreparedLaw {
    BrightnessLaw law;
    std::array<LawTerm, kMostTerms> terms{};  // the analytic laws' terms, the constant first
    std::size_t term_count = 0;
    std::array<SlopeTerm, 2 * kMostTerms> slope{};  // dI/dmu, terms of zero scale left out
    std::size_t slope_count = 0;
    LimbSlope limb;
    double flux = 0.0;  // int_0^1 2 x I(x) dx, the unmagnified flux over pi
    // moment_factor[k] = (k + 1) <x^(2k)>, the mean of x^(2k) over the source weighted by the
    // brightness, divided by its value for the uniform disk (1/(k + 1)); moment_factor[0] = 1.
    std::array<double, kMostMoments + 1> moment_factor{};
    bool uniform = false;  // a uniform disk: the kernel's value is the answer
};

PreparedLaw prepare_law(const BrightnessLaw& law);

// The raw moments int_0^1 2 x x^(2k) I dx, k = 0..kMostMoments, of a sum of terms (the flux is
// the first), without the normalisation that prepare_law's moment factors take.
std::array<double, kMostMoments + 1> term_moments(std::span<const LawTerm> terms);

// A brightness given by its terms alone (a law's derivative in one of its coefficients, dI/dc, is
// such a sum): its slope dI/dmu and flux as prepare_law derives them (its moment factors are left
// unset: its flux may be 0). fixed_powers[j] is false where term j's power is a coefficient.
PreparedLaw prepare_terms(std::span<const LawTerm> terms, std::span<const bool> fixed_powers);

// dI/dmu at mu (analytic laws), the weight of the engine's integral; mu in (0, 1].
double brightness_slope(const PreparedLaw& law, double mu);

// out[i] = dI/dmu at mu[i] for i < n, the same values as brightness_slope.
void brightness_slopes(const PreparedLaw& law, const double* mu, double* out, std::size_t n);

// The part of dI/dmu that is singular at the limb (the most singular of its terms: the least
// exponent, a logarithm before none at the same exponent), which the quadrature's substitution
// at the limb takes out: none for the linear and quadratic laws, mu^(-1/2) for square_root and
// claret, mu^(alpha - 1) for power2 (alpha not whole), ln(mu) for logarithmic.
inline LimbSlope limb_slope(const PreparedLaw& law) { return law.limb; }

}  // namespace mirvanta::models
