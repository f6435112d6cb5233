#include "models/profile.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <optional>
#include <vector>

#include "models/profile_interpolant.hpp"
#include "models/profile_quadrature.hpp"
#include "models/profile_series.hpp"
#include "models/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

// How one separation was served.
enum class Route : unsigned char { direct, series, interpolant, quadrature };

struct Served {
    ProfileValue value;
    Route route = Route::direct;
};

// One separation of one source.
struct ProfileKernel {
    const PreparedLaw& law;
    const SeriesPlan& plan;
    double rtol;
    const ProfileInterpolant* interpolant;  // for one rho, when the call has one
    bool too_fine;                          // rtol was below kFinestTolerance

    Served operator()(double u, double rho) const {
        Served s = serve(u, rho);
        if (too_fine && s.route != Route::direct) {
            s.value.converged = false;
            s.value.estimate = std::max(s.value.estimate, kFinestTolerance);
        }
        return s;
    }

    Served serve(double u, double rho) const {
        Served s;
        ProfileValue& v = s.value;
        if (std::isnan(u) || std::isnan(rho) || u < 0.0 || rho < 0.0) {  // NaN, or outside the domain
            v.value = numerics::kNaN;
            return s;
        }
        if (u == numerics::kInfinity || rho == numerics::kInfinity) {
            v.value = 1.0;
            return s;
        }
        if (rho == 0.0 || law.uniform) {  // the point source, or the uniform disk
            v.value = witt_mao_magnification_scaled(u, rho);
            v.evaluations = rho == 0.0 ? 0 : 1;
            return s;
        }
        if (u > 0.0 && profile_series(u, rho, plan, &v.value)) {
            s.route = Route::series;
            return s;
        }
        if (interpolant != nullptr && interpolant->evaluate(u, &v.value)) {
            s.route = Route::interpolant;
            v.evaluations = 1;
            return s;
        }
        s.route = Route::quadrature;
        v = profile_by_quadrature(u, rho, law, rtol);
        return s;
    }
};

}  // namespace

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out, ProfileCounts* counts) {
    const bool too_fine = !(rtol >= kFinestTolerance);
    if (too_fine) rtol = kFinestTolerance;
    const PreparedLaw prepared = prepare_law(law);
    const SeriesPlan plan = plan_series(prepared, rtol);
    ProfileReport report;
    const auto note = [&](std::size_t i, const ProfileValue& v) {
        if (v.converged) return;
        if (report.unconverged++ == 0) report.first_unconverged = i;
        report.worst_estimate = std::max(report.worst_estimate, v.estimate);
    };
    const auto count = [&](const Served& s) {
        if (counts == nullptr) return;
        switch (s.route) {
            case Route::series: ++counts->series; break;
            case Route::interpolant:
                ++counts->interpolated;
                counts->disk_evaluations_interpolated += s.value.evaluations;
                break;
            case Route::quadrature:
                ++counts->quadrature;
                counts->disk_evaluations_quadrature += s.value.evaluations;
                break;
            case Route::direct: break;
        }
    };
    const std::size_t n = u.size();
    if (n == 0) return report;
    if (n == 1) {  // one separation: on the calling thread, with nothing to allocate
        const Served s = ProfileKernel{prepared, plan, rtol, nullptr, too_fine}(u[0], rho[0]);
        out[0] = s.value.value;
        note(0, s.value);
        count(s);
        return report;
    }
    // With one source for many separations, an interpolant over the separations that the series
    // does not serve, where it pays: each of its pieces is built only when it holds at least as
    // many separations as it has nodes. Not for a tabulated profile: its magnification bends
    // where the lens crosses each of its radii, not only at the limb, and the quadrature serves
    // it directly.
    std::optional<ProfileInterpolant> interpolant;
    if (rho.size() == 1 && n >= interpolant_nodes(rtol) && !prepared.uniform && law.kind != LawKind::tabulated &&
        rho[0] > 0.0 && rho[0] < numerics::kInfinity) {
        interpolant.emplace(u, rho[0], prepared, rtol, rho[0] / std::sqrt(plan.widest));
        if (counts != nullptr) {
            counts->interpolant_pieces += interpolant->pieces();
            counts->interpolant_nodes += interpolant->nodes_evaluated();
            counts->disk_evaluations_interpolant += interpolant->disk_evaluations();
        }
    }
    const ProfileKernel kernel{prepared, plan, rtol, interpolant ? &*interpolant : nullptr, too_fine};
    // Each element's estimated error (negative when it converged) and, when counting, its route
    // and evaluations go to its own slots, which the calling thread reads after the map: the
    // workers allocate nothing.
    std::atomic<std::size_t> unconverged{0};
    const bool one_radius = rho.size() == 1;
    std::vector<double> estimates(n);
    std::vector<std::size_t> index(n);
    std::vector<Served> served(counts != nullptr ? n : 0);
    std::iota(index.begin(), index.end(), std::size_t{0});
    double* const estimate = estimates.data();
    Served* const routes = counts != nullptr ? served.data() : nullptr;
    const double* const separations = u.data();
    const double* const radii = rho.data();
    parallel::parallel_map_into(std::span<const std::size_t>(index), out, [&](std::size_t i) {
        const Served s = kernel(separations[i], one_radius ? radii[0] : radii[i]);
        estimate[i] = s.value.converged ? -1.0 : s.value.estimate;
        if (!s.value.converged) unconverged.fetch_add(1, std::memory_order_relaxed);
        if (routes != nullptr) routes[i] = s;
        return s.value.value;
    });
    if (unconverged.load() != 0) {
        for (std::size_t i = 0; i < n; ++i) {
            if (estimate[i] < 0.0) continue;
            ProfileValue v;
            v.converged = false;
            v.estimate = estimate[i];
            note(i, v);
        }
    }
    for (const Served& s : served) count(s);
    return report;
}

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out) {
    return profile_magnification(u, rho, law, rtol, out, nullptr);
}

}  // namespace mirvanta::models
