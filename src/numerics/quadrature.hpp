// Tanh-sinh (double-exponential) quadrature over a finite interval with fixed node tables,
// refined level by level until the change between estimates shrinks below the target.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "numerics/constants.hpp"
#include "numerics/tanh_sinh_tables.hpp"

namespace mirvanta::numerics {

struct QuadratureResult {
    double integral;
    double error_estimate;
    unsigned evaluations;
};

// The integral of f over [a, b] with absolute error target `target`. f is called only on the
// calling thread, at the midpoint and at m +- h x for the table abscissas x. Values of f that are
// not finite count as zero. Stops after level 2 at the earliest and level 6 at the latest (385
// evaluations); an unconverged result is returned as it is.
template <class F>
QuadratureResult double_exponential_integrate(const F& f, double a, double b, double target) {
    const double m = (a + b) * 0.5;
    const double h = (b - a) * 0.5;
    const double threshold = target * 0.25 / h;
    auto g = [&](double t) {
        const double value = f(m + h * t);
        return std::isfinite(value) ? value : 0.0;
    };

    double estimate = kPi * g(0.0);
    unsigned evaluations = 1;
    double previous_change = 0.0;
    double error = 0.0;
    for (const auto& level : tables::kTanhSinhLevels) {
        double sum = 0.0;
        for (const tables::TanhSinhNode& node : level) {
            const double right = g(node.abscissa);
            const double left = g(-node.abscissa);
            sum = sum + node.weight * (right + left);
        }
        evaluations += 2 * static_cast<unsigned>(level.size());
        const double half = estimate * 0.5;
        const double change = half - sum;
        estimate = half + sum;
        const double size = std::fabs(change);
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
        error = (ratio > 1.9 && ratio < 2.1) ? change * change : size;
        if (error < threshold) break;
        previous_change = size;
    }
    return {h * estimate, h * error, evaluations};
}

// The integral of f over [a, b] as the sum of the rule's integrals over [a, p_0], [p_0, p_1], ...,
// [p_k, b], each with the target `target`, added in that order. For an integrand that bends (a
// jump in its slope) at the points p, ascending and strictly between a and b: the rule resolves a
// bend at the end of its interval, not one inside it. Without points it is the rule over [a, b].
template <class F>
double integrate_in_pieces(const F& f, double a, double b, std::span<const double> points, double target) {
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
