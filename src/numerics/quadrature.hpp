// Tanh-sinh (double-exponential) quadrature over a finite interval with fixed node tables,
// refined level by level until the change between estimates shrinks below the target.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <type_traits>

#include "numerics/constants.hpp"
#include "numerics/tanh_sinh_tables.hpp"

namespace mirvanta::numerics {

struct QuadratureResult {
    double integral;
    double error_estimate;
    unsigned evaluations;
};

// An integrand given for many abscissas at once: fill(x, out) sets out[i] = f(x[i]) for every i of
// the span x (out holds x.size() values). The rule hands it all the abscissas of a level at once
// (and the midpoint alone), so that it can evaluate them together, e.g. on SIMD lanes; the values
// are summed exactly as the one-at-a-time rule sums them.
template <class Fill>
struct BatchedIntegrand {
    Fill fill;
};
template <class Fill>
BatchedIntegrand(Fill) -> BatchedIntegrand<Fill>;

// The most nodes a level has; a level's abscissas, both signs, fit in twice that.
inline constexpr std::size_t kMostLevelNodes = [] {
    std::size_t most = 0;
    for (const auto& level : tables::kTanhSinhLevels) most = level.size() > most ? level.size() : most;
    return most;
}();

// A target error relative to the integral itself, where a double says an absolute one: the rule
// then measures each change between levels as a fraction of the estimate, and stops once its
// error estimate, so measured, is below `value`. For integrals of any size, and for a target
// above the rounding of the sums (about 1e-16 of the integral), which an absolute target of an
// integral of order 1 is not.
struct RelativeTarget {
    double value;
};

namespace detail {

// The rule from the value at the midpoint (not finite values already zero) and level_sum(level),
// which is the level's sum over its nodes (w, x) in table order of w (g(x) + g(-x)), added one node
// after another.
template <class LevelSum, class Target>
QuadratureResult tanh_sinh(double centre, const LevelSum& level_sum, double h, Target target) {
    constexpr bool kRelative = std::is_same_v<Target, RelativeTarget>;
    double threshold = 0.0;
    if constexpr (kRelative) {
        threshold = target.value;
    } else {
        threshold = target * 0.25 / h;
    }
    double estimate = kPi * centre;
    unsigned evaluations = 1;
    double previous_change = 0.0;
    double error = 0.0;
    for (const auto& level : tables::kTanhSinhLevels) {
        const double sum = level_sum(level);
        evaluations += 2 * static_cast<unsigned>(level.size());
        const double half = estimate * 0.5;
        const double change = half - sum;
        estimate = half + sum;
        double size = std::fabs(change);
        if constexpr (kRelative) size = size / std::fabs(estimate);
        if (evaluations < 14) {
            previous_change = size;
            continue;
        }
        if (change == 0.0) {
            error = 0.0;
            break;
        }
        // Quadratic convergence: the next change is about the square of this one.
        const double ratio = std::log(size) / std::log(previous_change);
        error = (ratio > 1.9 && ratio < 2.1) ? size * size : size;
        if (error < threshold) break;
        previous_change = size;
    }
    if constexpr (kRelative) error = error * std::fabs(estimate);
    return {h * estimate, h * error, evaluations};
}

inline double finite_or_zero(double value) { return std::isfinite(value) ? value : 0.0; }

}  // namespace detail

// The integral of f over [a, b] with absolute error target `target` (or a RelativeTarget). f is
// called only on the calling thread, at the midpoint and at m +- h x for the table abscissas x.
// Values of f that are not finite count as zero. Stops after level 2 at the earliest and level 6
// at the latest (385 evaluations); an unconverged result is returned as it is.
template <class F, class Target = double>
QuadratureResult double_exponential_integrate(const F& f, double a, double b, Target target) {
    const double m = (a + b) * 0.5;
    const double h = (b - a) * 0.5;
    auto g = [&](double t) { return detail::finite_or_zero(f(m + h * t)); };
    const double centre = g(0.0);
    const auto level_sum = [&](std::span<const tables::TanhSinhNode> level) {
        double sum = 0.0;
        for (const tables::TanhSinhNode& node : level) {
            const double right = g(node.abscissa);
            const double left = g(-node.abscissa);
            sum = sum + node.weight * (right + left);
        }
        return sum;
    };
    return detail::tanh_sinh(centre, level_sum, h, target);
}

// The same rule with the integrand evaluated a level at a time: the same abscissas, the same
// values and the same sums in the same order, so the same result to the bit as the one-at-a-time
// form of the same integrand. Allocates nothing (the level's abscissas and values live on the
// stack).
template <class Fill, class Target = double>
QuadratureResult double_exponential_integrate(const BatchedIntegrand<Fill>& f, double a, double b, Target target) {
    const double m = (a + b) * 0.5;
    const double h = (b - a) * 0.5;
    double x[2 * kMostLevelNodes];
    double y[2 * kMostLevelNodes];
    x[0] = m + h * 0.0;
    f.fill(std::span<const double>(x, 1), y);
    const double centre = detail::finite_or_zero(y[0]);
    const auto level_sum = [&](std::span<const tables::TanhSinhNode> level) {
        const std::size_t count = level.size();
        for (std::size_t i = 0; i < count; ++i) {
            x[2 * i] = m + h * level[i].abscissa;
            x[2 * i + 1] = m + h * -level[i].abscissa;
        }
        f.fill(std::span<const double>(x, 2 * count), y);
        double sum = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double right = detail::finite_or_zero(y[2 * i]);
            const double left = detail::finite_or_zero(y[2 * i + 1]);
            sum = sum + level[i].weight * (right + left);
        }
        return sum;
    };
    return detail::tanh_sinh(centre, level_sum, h, target);
}

// The integral of f over [a, b] as the sum of the rule's integrals over [a, p_0], [p_0, p_1], ...,
// [p_k, b], each with the target `target`, added in that order. For an integrand that bends (a
// jump in its slope) at the points p, ascending and strictly between a and b: the rule resolves a
// bend at the end of its interval, not one inside it. Without points it is the rule over [a, b].
// f is a function of one abscissa or a BatchedIntegrand.
template <class F, class Target = double>
double integrate_in_pieces(const F& f, double a, double b, std::span<const double> points, Target target) {
    double left = a;
    double sum = 0.0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double piece = double_exponential_integrate(f, left, points[i], target).integral;
        sum = i == 0 ? piece : sum + piece;
        left = points[i];
    }
    const double last = double_exponential_integrate(f, left, b, target).integral;
    return points.empty() ? last : sum + last;
}

}  // namespace mirvanta::numerics
