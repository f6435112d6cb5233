#include "models/source_radii/witt_mao_batch.hpp"

#include <new>
#include <span>

#include "common/allocation_failure.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {

namespace {

struct AtSeparation {
    double rho;
    double operator()(double x) const { return witt_mao_magnification_scaled(x * rho, rho); }
    void range(std::span<const double> x, double* out) const { witt_mao_magnification_range(x, rho, out); }
};

struct PointSource {
    double operator()(double u) const { return witt_mao_magnification_scaled(u, 0.0); }
};

}  // namespace

std::vector<double> witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    parallel::parallel_map_into(std::span<const double>(l), l.data(), AtSeparation{rstar / re});
    return l;
}

MagnificationGrid multi_witt_mao_magnification(std::vector<double> l, std::vector<double> re,
                                               std::vector<double> rstar) {
    if (!rstar.empty() && re.size() > std::vector<double>().max_size() / rstar.size()) {
        throw AllocationFailure("the result grid",  // MemoryError
                                static_cast<double>(re.size()) * static_cast<double>(rstar.size()) *
                                    static_cast<double>(l.size()), 8.0);
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

void point_source_magnification(std::span<const double> u, double* out) {
    parallel::parallel_map_into(u, out, PointSource{});
}

}  // namespace mirvanta::models
