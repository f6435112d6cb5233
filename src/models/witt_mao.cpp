#include "models/witt_mao.hpp"

#include <cmath>

#include "models/disk_forms.hpp"
#include "models/far_field.hpp"
#include "models/limb.hpp"
#include "models/general_form_terms.hpp"
#include "models/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "numerics/legendre_triple.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {

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
            // A source of no size: no value at a negative separation, +inf at u = 0 (-0 too).
            if (!(u >= 0.0)) return kNaN;
            if (u == 0.0) return numerics::kInfinity;
            const double s = u * u;
            return at_least_one((s + 2.0) / (u * std::sqrt(s + 4.0)));
        }
        case DiskForm::no_source:
            return kNaN;
        case DiskForm::infinitely_far:
            return 1.0;
        case DiskForm::far_field:
            // The general form cancels there (relative error about 1e-16 (u/rho)^2).
            return far_field_disk_magnification(u, rho);
        case DiskForm::mid_field:
            return mid_field_disk_magnification(u, rho);
        case DiskForm::tiny_source: {
            // rho 2^k in [2^-101, 2^-100): scaling by a power of two is exact, and the disk is so
            // small that its magnification is 1/rho times a function of u/rho, to (2^k rho)^2.
            int exponent = 0;
            std::frexp(rho, &exponent);
            const int k = -100 - exponent;
            return std::ldexp(witt_mao_magnification_scaled(std::ldexp(u, k), std::ldexp(rho, k)), k);
        }
        case DiskForm::huge_source:
            return 1.0;
        case DiskForm::limb:
            return limb_zone_disk_magnification(u, rho);
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

MagnificationGrid multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                                               std::vector<double> rstar) {
    if (!rstar.empty() && re.size() > std::vector<double>().max_size() / rstar.size()) {
        throw std::bad_alloc();  // MemoryError
    }
    // The rows are allocated here, on the calling thread, and each pair's map only writes into
    // its own: the workers allocate nothing (a worker's first allocation would give it a malloc
    // arena of its own, 64 MB of address space).
    struct Row {
        double re, rstar;
        double* values;
    };
    MagnificationGrid rows(re.size() * rstar.size(), l.size());
    std::vector<Row> pairs;
    pairs.reserve(rows.size());
    for (const double einstein : re) {
        for (const double source : rstar) pairs.push_back({einstein, source, rows[pairs.size()].data()});
    }
    const std::span<const double> separations = l;
    // The outer map's own results (the rows it filled) are not needed.
    parallel::parallel_map(std::span<const Row>(pairs), [separations](const Row& pair) {
        parallel::parallel_map_into(separations, pair.values, AtSeparation{pair.rstar / pair.re});
        return pair.values;
    });
    return rows;
}

}  // namespace mirvanta::models
