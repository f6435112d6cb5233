#include "models/witt_mao.hpp"

#include <cmath>

#include "models/far_field.hpp"
#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {

using numerics::kHalfPi;
using numerics::kNaN;
using numerics::kPi;

namespace {

// Half-width of the band around the limb in which the exact limb value is returned: 0.001 rho,
// but at least 1e-5. On the limb itself the characteristic n is 1, where Pi is singular.
double limb_band_half_width(double rho) {
    double w = 0.001 * std::fabs(rho);
    if (std::isnan(w)) w = 1e-5;
    if (!(w > 1e-5)) w = 1e-5;
    return w;
}

}  // namespace

double witt_mao_magnification_scaled(double u, double rho) {
    if (rho <= 0.0) {
        const double s = u * u;
        return (s + 2.0) / (u * std::sqrt(s + 4.0));
    }
    // Far from the source the general form below cancels (relative error about 1e-16 (u/rho)^2).
    // This comes before the limb band, whose half-width of at least 1e-5 would otherwise reach
    // beyond 1000 rho for rho below 1e-8. An infinite u keeps the general form (NaN).
    if (u > kFarFieldRatio * rho && u < numerics::kInfinity) return far_field_disk_magnification(u, rho);
    const double w = limb_band_half_width(rho);
    const double d = u - rho;
    const double t = rho * rho;
    if (std::fabs(d) < w) {
        // Lens on the limb (u = rho).
        return (2.0 / rho + ((t + 1.0) / t) * (std::asin((t - 1.0) / (t + 1.0)) + kHalfPi)) / kPi;
    }

    const double s = u + rho;
    const double n = (u * (4.0 * rho)) / (s * s);
    const double g = std::sqrt(d * d + 4.0);
    const double k = std::sqrt(4.0 * n) / g;
    const double m = k * k;
    const auto e = numerics::ellipe(m);
    if (!e) return kNaN;
    const auto big_k = numerics::ellipk(m);
    if (!big_k) return kNaN;
    const auto p = numerics::ellippi(n, m);
    if (!p) return kNaN;
    const double c_e = (s * g) / (t + t);
    const double c_k = (d * (4.0 + (u * u - t) * 0.5)) / (t * g);
    const double c_p = ((t + 1.0) * (d * d + d * d)) / ((t * s) * g);
    return ((c_e * e.value() - c_k * big_k.value()) + c_p * p.value()) / kPi;
}

Magnifications witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return witt_mao_magnification_of(l, re, rstar);
}

Magnifications witt_mao_magnification_of(std::span<const double> l, double re, double rstar) {
    const double rho = rstar / re;
    return parallel::parallel_map(l, [rho](double x) { return witt_mao_magnification_scaled(x * rho, rho); });
}

parallel::ResultVector<Magnifications> multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                                                              std::vector<double> rstar) {
    std::vector<std::pair<double, double>> pairs;
    if (!rstar.empty() && re.size() > pairs.max_size() / rstar.size()) throw std::bad_alloc();  // MemoryError
    pairs.reserve(re.size() * rstar.size());
    for (const double einstein : re) {
        for (const double source : rstar) pairs.emplace_back(einstein, source);
    }
    const std::span<const double> separations = l;
    return parallel::parallel_map(std::span<const std::pair<double, double>>(pairs),
                                  [separations](const std::pair<double, double>& pair) {
                                      return witt_mao_magnification_of(separations, pair.first, pair.second);
                                  });
}

}  // namespace mirvanta::models
