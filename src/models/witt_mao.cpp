#include "models/witt_mao.hpp"

#include <cmath>

#include "models/disk_forms.hpp"
#include "models/far_field.hpp"
#include "models/general_form_terms.hpp"
#include "models/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "numerics/legendre_triple.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {

using numerics::kHalfPi;
using numerics::kNaN;
using numerics::kPi;

double witt_mao_general_form(double u, double rho) {
    const GeneralFormArguments<double> arguments = general_form_arguments(u, rho);
    const auto integrals = numerics::legendre_triple(arguments.n, arguments.m);
    if (!integrals) return kNaN;
    return general_form_value(u, arguments, integrals->e, integrals->k, integrals->p);
}

double witt_mao_magnification_scaled(double u, double rho) {
    switch (disk_form(u, rho)) {
        case DiskForm::point_source: {
            const double s = u * u;
            return (s + 2.0) / (u * std::sqrt(s + 4.0));
        }
        case DiskForm::far_field:
            // The general form cancels there (relative error about 1e-16 (u/rho)^2).
            return far_field_disk_magnification(u, rho);
        case DiskForm::limb: {
            // Lens on the limb (u = rho).
            const double t = rho * rho;
            return (2.0 / rho + ((t + 1.0) / t) * (std::asin((t - 1.0) / (t + 1.0)) + kHalfPi)) / kPi;
        }
        case DiskForm::general:
            break;
    }
    return witt_mao_general_form(u, rho);
}

namespace {

struct AtSeparation {
    double rho;
    double operator()(double x) const { return witt_mao_magnification_scaled(x * rho, rho); }
    void range(std::span<const double> x, double* out) const { witt_mao_magnification_range(x, rho, out); }
};

}  // namespace

std::vector<double> witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    parallel::parallel_map_into(std::span<const double>(l), l.data(), AtSeparation{rstar / re});
    return l;
}

Magnifications witt_mao_magnification_of(std::span<const double> l, double re, double rstar) {
    return parallel::parallel_map(l, AtSeparation{rstar / re});
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
