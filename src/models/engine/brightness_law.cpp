#include "models/engine/brightness_law.hpp"

#include <cmath>

namespace mirvanta::models {
namespace {

// int_0^1 2 x x^(2k) mu^p dx = int_0^1 y^k (1 - y)^(p/2) dy = B(k + 1, p/2 + 1), for k = 0..K,
// by B(k + 1, c) = B(k, c) k / (k + c) from B(1, c) = 1/c, c = p/2 + 1.
void add_power_moments(double weight, double power, std::array<double, kMostMoments + 1>& sums) {
    const double c = power * 0.5 + 1.0;
    double beta = 1.0 / c;
    for (std::size_t k = 0; k <= kMostMoments; ++k) {
        if (k > 0) beta = beta * static_cast<double>(k) / (static_cast<double>(k) + c);
        sums[k] += weight * beta;
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

PreparedLaw prepare_law(const BrightnessLaw& law) {
    PreparedLaw prepared;
    prepared.law = law;
    const double p = law.p, q = law.q;
    auto& t = prepared.terms;
    switch (law.kind) {
        case LawKind::uniform:  // the kernel's own value: no moments needed (each factor is 1)
            t[0] = {1.0, 0.0};
            prepared.term_count = 1;
            prepared.flux = 1.0;
            prepared.moment_factor.fill(1.0);
            prepared.uniform = true;
            return prepared;
        case LawKind::linear:
            t[0] = {1.0 - p, 0.0};
            t[1] = {p, 1.0};
            prepared.term_count = 2;
            break;
        case LawKind::quadratic:  // 1 - a (1 - mu) - b (1 - 2 mu + mu^2)
            t[0] = {1.0 - p - q, 0.0};
            t[1] = {p + 2.0 * q, 1.0};
            t[2] = {-q, 2.0};
            prepared.term_count = 3;
            break;
        case LawKind::square_root:
            t[0] = {1.0 - p - q, 0.0};
            t[1] = {p, 1.0};
            t[2] = {q, 0.5};
            prepared.term_count = 3;
            break;
        case LawKind::power2:
            t[0] = {1.0 - p, 0.0};
            t[1] = {p, q};
            prepared.term_count = 2;
            break;
        case LawKind::tabulated:
            break;
    }
    std::array<double, kMostMoments + 1> sums{};
    if (law.kind == LawKind::tabulated) {
        const std::span<const double> r = law.radii, b = law.brightness;
        const std::size_t n = r.size() < b.size() ? r.size() : b.size();
        if (n == 1) {  // one radius: that brightness over the whole disk
            add_power_moments(b[0], 0.0, sums);
        } else {
            for (std::size_t j = 0; j + 1 < n; ++j) {
                if (r[j + 1] > r[j]) add_segment_moments(r[j], r[j + 1], b[j], b[j + 1], sums);
            }
        }
        prepared.uniform = n == 1;
    } else {
        for (std::size_t j = 0; j < prepared.term_count; ++j) add_power_moments(t[j].weight, t[j].power, sums);
        // Every coefficient 0: the brightness is 1 everywhere.
        const bool second_zero = (law.kind != LawKind::quadratic && law.kind != LawKind::square_root) || q == 0.0;
        prepared.uniform = law.kind == LawKind::uniform || (p == 0.0 && second_zero);
    }
    prepared.flux = sums[0];
    prepared.moment_factor[0] = 1.0;
    for (std::size_t k = 1; k <= kMostMoments; ++k) {
        prepared.moment_factor[k] = static_cast<double>(k + 1) * sums[k] / sums[0];
    }
    return prepared;
}

double brightness_slope(const PreparedLaw& law, double mu) {
    const double p = law.law.p, q = law.law.q;
    switch (law.law.kind) {
        case LawKind::linear:
            return p;
        case LawKind::quadratic:
            return p + 2.0 * q * (1.0 - mu);
        case LawKind::square_root:
            return p + q * 0.5 / std::sqrt(mu);
        case LawKind::power2:
            return p * q * std::pow(mu, q - 1.0);
        default:
            return 0.0;
    }
}

double limb_slope_exponent(const PreparedLaw& law) {
    switch (law.law.kind) {
        case LawKind::square_root:
            return law.law.q != 0.0 ? -0.5 : 0.0;
        case LawKind::power2:
            return law.law.q - 1.0 < 0.0 || std::floor(law.law.q) != law.law.q ? law.law.q - 1.0 : 0.0;
        default:
            return 0.0;
    }
}

}  // namespace mirvanta::models
