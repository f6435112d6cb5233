#include "models/engine/brightness_law.hpp"

#include <cmath>
#include <span>

#include "models/engine/law_table.hpp"

namespace mirvanta::models {
namespace {

// int_0^1 2 x x^(2k) mu^p dx = int_0^1 y^k (1 - y)^(p/2) dy = B(k + 1, p/2 + 1), for k = 0..K,
// by B(k + 1, c) = B(k, c) k / (k + c) from B(1, c) = 1/c, c = p/2 + 1. With ln(mu) = ln(1 - y)/2
// beside mu^p, the derivative of that Beta function in c, halved:
// B(k + 1, c) (psi(c) - psi(k + 1 + c)) / 2 = -B(k + 1, c) sum_{j=0..k} 1/(c + j) / 2.
void add_term_moments(const LawTerm& term, std::array<double, kMostMoments + 1>& sums) {
    const double c = term.power * 0.5 + 1.0;
    double beta = 1.0 / c;
    double harmonic = beta;  // sum_{j=0..k} 1/(c + j)
    for (std::size_t k = 0; k <= kMostMoments; ++k) {
        if (k > 0) {
            beta = beta * static_cast<double>(k) / (static_cast<double>(k) + c);
            harmonic = harmonic + 1.0 / (static_cast<double>(k) + c);
        }
        sums[k] += term.logarithmic ? term.weight * (-0.5 * (beta * harmonic)) : term.weight * beta;
    }
}

// int_a^b 2 x^(2k+1) I(x) dx for I linear from ia at a to ib at b, k = 0..K. With
// I = ia + s (x - a): (ia - s a) (b^(2k+2) - a^(2k+2)) / (k + 1) + 2 s (b^(2k+3) - a^(2k+3)) / (2k + 3);
// the flux (k = 0) as (b - a) ((2a + b) ia + (a + 2b) ib) / 3, which does not cancel.
void add_segment_moments(double a, double b, double ia, double ib, std::array<double, kMostMoments + 1>& sums) {
    sums[0] += (b - a) * ((2.0 * a + b) * ia + (a + 2.0 * b) * ib) / 3.0;
    const double s = (ib - ia) / (b - a);
    const double intercept = ia - s * a;
    double a_power = a * a, b_power = b * b;  // x^(2k+2) at k = 0
    for (std::size_t k = 1; k <= kMostMoments; ++k) {
        a_power = a_power * a * a;
        b_power = b_power * b * b;  // x^(2k+2)
        const double kk = static_cast<double>(k);
        sums[k] += intercept * (b_power - a_power) / (kk + 1.0) +
                   2.0 * s * (b_power * b - a_power * a) / (2.0 * kk + 3.0);
    }
}

}  // namespace

namespace {

// mu^e in the form that keeps the laws' values as they were written by hand: 1, mu and a division
// by sqrt(mu) for the fixed powers, std::pow for a power that is a coefficient (power-2's alpha).
SlopeTerm::Form form_of(double exponent, bool fixed) {
    if (exponent == 0.0) return SlopeTerm::Form::one;
    if (exponent == 1.0) return SlopeTerm::Form::mu;
    if (fixed && exponent == -0.5) return SlopeTerm::Form::inverse_sqrt;
    if (fixed && exponent == 0.5) return SlopeTerm::Form::sqrt;
    return SlopeTerm::Form::power;
}

// dI/dmu term by term: w mu^p gives (w p) mu^(p - 1); w mu^p ln(mu) gives (w p) mu^(p - 1) ln(mu)
// and w mu^(p - 1). Terms of zero scale are left out; the most singular at the limb is kept.
void prepare_slope(std::span<const bool> fixed_powers, PreparedLaw& prepared) {
    const auto add = [&](double scale, double exponent, bool fixed, bool logarithmic) {
        if (scale == 0.0) return;
        prepared.slope[prepared.slope_count++] = {scale, exponent, form_of(exponent, fixed), logarithmic};
        const bool analytic = !logarithmic && exponent >= 0.0 && std::floor(exponent) == exponent;
        if (analytic) return;
        LimbSlope& limb = prepared.limb;
        const bool first = limb.exponent == 0.0 && !limb.logarithmic;
        if (first || exponent < limb.exponent || (exponent == limb.exponent && logarithmic)) limb = {exponent, logarithmic};
    };
    for (std::size_t j = 0; j < prepared.term_count; ++j) {
        const LawTerm& t = prepared.terms[j];
        const bool fixed = fixed_powers[j];
        if (t.power != 0.0) add(t.weight * t.power, t.power - 1.0, fixed, t.logarithmic);
        if (t.logarithmic) add(t.weight, t.power - 1.0, fixed, false);
    }
}

}  // namespace

PreparedLaw prepare_law(const BrightnessLaw& law) {
    PreparedLaw prepared;
    prepared.law = law;
    if (law.kind == LawKind::uniform) {  // the kernel's own value: no moments needed (each factor is 1)
        prepared.terms[0] = {1.0, 0.0};
        prepared.term_count = 1;
        prepared.flux = 1.0;
        prepared.moment_factor.fill(1.0);
        prepared.uniform = true;
        return prepared;
    }
    std::array<double, kMostMoments + 1> sums{};
    if (law.kind == LawKind::tabulated) {
        const std::span<const double> r = law.radii, b = law.brightness;
        const std::size_t n = r.size() < b.size() ? r.size() : b.size();
        if (n == 1) {  // one radius: that brightness over the whole disk
            add_term_moments({b[0], 0.0}, sums);
        } else {
            for (std::size_t j = 0; j + 1 < n; ++j) {
                if (r[j + 1] > r[j]) add_segment_moments(r[j], r[j + 1], b[j], b[j + 1], sums);
            }
        }
        prepared.uniform = n == 1;
    } else {
        const LawDefinition& definition = definition_of(law.kind);
        prepared.term_count = law_terms(definition, law.coefficients, prepared.terms);
        for (std::size_t j = 0; j < prepared.term_count; ++j) add_term_moments(prepared.terms[j], sums);
        bool fixed[kMostTerms];
        for (std::size_t j = 0; j < prepared.term_count; ++j) fixed[j] = definition.terms[j].power_from < 0;
        prepare_slope(std::span<const bool>(fixed, prepared.term_count), prepared);
        // No term but the constant: the brightness is the same everywhere.
        prepared.uniform = prepared.slope_count == 0;
    }
    prepared.flux = sums[0];
    prepared.moment_factor[0] = 1.0;
    for (std::size_t k = 1; k <= kMostMoments; ++k) {
        prepared.moment_factor[k] = static_cast<double>(k + 1) * sums[k] / sums[0];
    }
    return prepared;
}

std::array<double, kMostMoments + 1> term_moments(std::span<const LawTerm> terms) {
    std::array<double, kMostMoments + 1> sums{};
    for (const LawTerm& term : terms) add_term_moments(term, sums);
    return sums;
}

PreparedLaw prepare_terms(std::span<const LawTerm> terms, std::span<const bool> fixed_powers) {
    PreparedLaw prepared;
    prepared.term_count = terms.size();
    for (std::size_t j = 0; j < terms.size(); ++j) prepared.terms[j] = terms[j];
    prepare_slope(fixed_powers, prepared);
    const auto sums = term_moments(terms);
    prepared.flux = sums[0];
    return prepared;
}

void brightness_slopes(const PreparedLaw& law, const double* mu, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = 0.0;
    // Term by term over all the points, each point's terms added in order (the first assigned):
    // the form of a term is decided once for the points.
    for (std::size_t j = 0; j < law.slope_count; ++j) {
        const SlopeTerm& t = law.slope[j];
        const auto add = [&](auto term_at) {
            for (std::size_t i = 0; i < n; ++i) {
                double value = term_at(mu[i]);
                if (t.logarithmic) value = value * std::log(mu[i]);
                out[i] = j == 0 ? value : out[i] + value;
            }
        };
        switch (t.form) {
            case SlopeTerm::Form::one: add([&](double) { return t.scale; }); break;
            case SlopeTerm::Form::mu: add([&](double m) { return t.scale * m; }); break;
            case SlopeTerm::Form::inverse_sqrt: add([&](double m) { return t.scale / std::sqrt(m); }); break;
            case SlopeTerm::Form::sqrt: add([&](double m) { return t.scale * std::sqrt(m); }); break;
            case SlopeTerm::Form::power: add([&](double m) { return t.scale * std::pow(m, t.exponent); }); break;
        }
    }
}

double brightness_slope(const PreparedLaw& law, double mu) {
    double slope = 0.0;
    brightness_slopes(law, &mu, &slope, 1);
    return slope;
}

}  // namespace mirvanta::models
