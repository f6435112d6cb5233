#include "models/profile.hpp"

#include <atomic>
#include <cmath>
#include <numeric>
#include <vector>

#include "models/profile_quadrature.hpp"
#include "models/profile_series.hpp"
#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

// One separation of one source.
struct ProfileKernel {
    const PreparedLaw& law;
    const SeriesPlan& plan;
    double rtol;

    ProfileValue operator()(double u, double rho) const {
        ProfileValue v;
        if (std::isnan(u) || std::isnan(rho)) {
            v.value = numerics::kNaN;
            return v;
        }
        if (rho == 0.0) {  // the point source
            v.value = witt_mao_magnification_scaled(u, 0.0);
            return v;
        }
        if (u == numerics::kInfinity || rho == numerics::kInfinity) {
            v.value = 1.0;
            return v;
        }
        if (law.uniform) {
            v.value = witt_mao_magnification_scaled(u, rho);
            return v;
        }
        if (u > 0.0 && profile_series(u, rho, plan, &v.value)) return v;
        return profile_by_quadrature(u, rho, law, rtol);
    }
};

}  // namespace

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out) {
    const PreparedLaw prepared = prepare_law(law);
    const SeriesPlan plan = plan_series(prepared, rtol);
    const ProfileKernel kernel{prepared, plan, rtol};
    // Each element's estimated error goes to its slot of `estimates` (negative when it
    // converged), which the calling thread reads after the map; the workers allocate nothing.
    ProfileReport report;
    std::atomic<std::size_t> unconverged{0};
    const std::size_t n = u.size();
    const bool one_radius = rho.size() == 1;
    std::vector<double> estimates(n);
    std::vector<std::size_t> index(n);
    std::iota(index.begin(), index.end(), std::size_t{0});
    double* const estimate = estimates.data();
    const double* const separations = u.data();
    const double* const radii = rho.data();
    parallel::parallel_map_into(std::span<const std::size_t>(index), out, [&](std::size_t i) {
        const ProfileValue v = kernel(separations[i], one_radius ? radii[0] : radii[i]);
        estimate[i] = v.converged ? -1.0 : v.estimate;
        if (!v.converged) unconverged.fetch_add(1, std::memory_order_relaxed);
        return v.value;
    });
    if (unconverged.load() != 0) {
        for (std::size_t i = 0; i < n; ++i) {
            if (estimate[i] < 0.0) continue;
            if (report.unconverged++ == 0) report.first_unconverged = i;
            report.worst_estimate = std::max(report.worst_estimate, estimate[i]);
        }
    }
    return report;
}

}  // namespace mirvanta::models
