#include "models/heyrovsky.hpp"

#include <cmath>

#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"

namespace mirvanta::models {

ModelResult<double> heyrovsky_magnification(double l, double r, double re, double rstar) {
    const double q = re / rstar;  // Einstein radius in source radii
    const double f = r - l;
    double h;
    if (std::fabs(f) < 1e-5) {
        // Near the ring the elliptic form loses its accuracy (n and m both tend to 1); this is its
        // expansion to first order in f, with the logarithmic singularity at f = 0 kept exact.
        const double big_l = l;
        const double lambda =
            std::log((big_l * (8.0 * q)) / (std::fabs(f) * std::sqrt(big_l * big_l + q * q)));
        h = 4.0 * std::atan(big_l / q) + ((1.0 - f / (2.0 * big_l)) * ((2.0 * q) / big_l)) * lambda +
            f * ((q * (2.0 * big_l * big_l + q * q)) / ((big_l * big_l) * (big_l * big_l + q * q)));
    } else {
        const double s = l + r;
        const double d = f * f + 4.0 * q * q;
        const double k = ((4.0 * q) / s) * std::sqrt((l * r) / d);
        const double m = k * k;
        const auto big_k = numerics::ellipk(m);
        if (!big_k) return DeferredError::from(big_k.error());
        const double n = (4.0 * l * r) / (s * s);
        const auto p = numerics::ellippi(n, m);
        if (!p) return DeferredError::from(p.error());
        h = (4.0 / (s * std::sqrt(d))) * ((f * f) * p.value() + (2.0 * q * q) * big_k.value());
    }
    return h / numerics::kTwoPi;
}

}  // namespace mirvanta::models
