#include "models/engine/profile.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "models/engine/profile_interpolant.hpp"
#include "models/engine/profile_quadrature.hpp"
#include "models/engine/profile_series.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
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

    // Everything but the quadrature: the special values, the kernel for the uniform disk, the
    // series and the interpolant; route quadrature (value unset) where none of them serves.
    Served cheap(double u, double rho) const {
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
        return s;
    }

    // Whether cheap() leaves (u, rho) to the quadrature, before the interpolant is built (with
    // `planned` for the separations in its planned pieces).
    bool needs_quadrature(double u, double rho, bool planned) const {
        if (std::isnan(u) || std::isnan(rho) || u < 0.0 || rho < 0.0 || u == numerics::kInfinity ||
            rho == numerics::kInfinity || rho == 0.0 || law.uniform) {
            return false;
        }
        const double x = rho / u;
        return !(u > 0.0 && x * x <= plan.widest) && !planned;
    }

    // The result's report: below the finest tolerance nothing but the kernel's own values counts
    // as reached.
    Served reported(Served s) const {
        if (too_fine && s.route != Route::direct) {
            s.value.converged = false;
            s.value.estimate = std::max(s.value.estimate, kFinestTolerance);
        }
        return s;
    }

    Served operator()(double u, double rho) const {
        Served s = cheap(u, rho);
        if (s.route == Route::quadrature) s.value = profile_by_quadrature(u, rho, law, rtol);
        return reported(s);
    }
};

}  // namespace

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out, ProfileCounts* counts) {
    const bool too_fine = !(rtol >= kFinestTolerance);
    if (too_fine) rtol = kFinestTolerance;
    const PreparedLaw prepared = prepare_law(law);
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
    if (rho.size() != 1 && rho.size() != n) {  // the caller broadcasts rho
        throw Panic("profile_magnification: " + std::to_string(rho.size()) + " source radii for " + std::to_string(n) +
                    " separations");
    }
    if (n == 0) return report;
    // A uniform disk of one finite radius is the kernel itself: its ranges on the lanes, on the
    // pool, with exactly the values of the element-wise route (the kernel gives NaN for a negative
    // or NaN separation and 1 at infinity, as that route does).
    if (prepared.uniform && rho.size() == 1 && rho[0] >= 0.0 && rho[0] < numerics::kInfinity) {
        struct Disk {
            double rho;
            double operator()(double x) const { return witt_mao_magnification_scaled(x, rho); }
            void range(std::span<const double> x, double* result) const { witt_mao_magnification_at(x, rho, result); }
        };
        parallel::parallel_map_into(u, out, Disk{rho[0]});
        return report;
    }
    const SeriesPlan plan = plan_series(prepared, rtol);
    if (n == 1) {  // one separation: on the calling thread, with nothing to allocate
        const Served s = ProfileKernel{prepared, plan, rtol, nullptr, too_fine}(u[0], rho[0]);
        out[0] = at_least_one(s.value.value);
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
    }
    const bool one_radius = rho.size() == 1;
    const double* const separations = u.data();
    const double* const radii = rho.data();
    ProfileKernel kernel{prepared, plan, rtol, nullptr, too_fine};

    // What did not converge is gathered in atomics (rare), and, when counting, each element's
    // route goes to its own slot: the workers allocate nothing.
    std::atomic<std::size_t> unconverged{0}, first{SIZE_MAX};
    std::atomic<double> worst{0.0};
    std::vector<Served> served(counts != nullptr ? n : 0);
    Served* const routes = counts != nullptr ? served.data() : nullptr;
    const auto finish = [&](std::size_t i, Served s) {
        s = kernel.reported(s);
        if (!s.value.converged) {
            unconverged.fetch_add(1, std::memory_order_relaxed);
            for (std::size_t seen = first.load(std::memory_order_relaxed);
                 i < seen && !first.compare_exchange_weak(seen, i, std::memory_order_relaxed);) {
            }
            for (double seen = worst.load(std::memory_order_relaxed);
                 s.value.estimate > seen && !worst.compare_exchange_weak(seen, s.value.estimate, std::memory_order_relaxed);) {
            }
        }
        if (routes != nullptr) routes[i] = s;
        out[i] = s.value.value;
    };

    // The quadratures of the call: the interpolant's first nodes, then the separations that
    // neither the series nor a planned piece serves (slot[i], separation i's place among them).
    // The separations in planned pieces wait for the interpolant (later[i]).
    constexpr std::size_t kNone = SIZE_MAX;
    const std::size_t nodes = interpolant ? interpolant->first_nodes().size() : 0;
    std::vector<std::size_t> slot(n, kNone);
    std::vector<unsigned char> later(interpolant ? n : 0, 0);
    std::vector<double> work_u(nodes), work_rho(nodes, one_radius ? radii[0] : 0.0), work_rtol(nodes);
    if (interpolant) {
        work_u = interpolant->first_nodes();
        std::fill(work_rtol.begin(), work_rtol.end(), interpolant->node_rtol());
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double r = one_radius ? radii[0] : radii[i];
        if (!kernel.needs_quadrature(separations[i], r, false)) continue;
        if (interpolant && interpolant->planned(separations[i])) {
            later[i] = 1;
            continue;
        }
        slot[i] = work_u.size();
        work_u.push_back(separations[i]);
        work_rho.push_back(r);
        work_rtol.push_back(rtol);
    }
    std::vector<ProfileValue> work(work_u.size());

    // One map on the pool, a block at a time (so that the index the map runs over stays small):
    // the quadratures first, the longest elements, then every separation that needs neither them
    // nor the interpolant (the series, the special values). Timing the quadratures first, the map
    // sees early what the whole is worth, and the cheap elements at its end even out the
    // participants' last runs. Each element writes its own result; the map's own output is a
    // placeholder.
    const std::size_t quadratures = work.size();
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    std::vector<std::size_t> index;
    std::vector<unsigned char> done;
    for (std::size_t block = 0; block < n; block += kBlock) {
        const std::size_t head = block == 0 ? quadratures : 0;  // task t < head: quadrature t
        const std::size_t span = std::min(kBlock, n - block);
        index.resize(head + span);
        std::iota(index.begin(), index.begin() + static_cast<std::ptrdiff_t>(head), std::size_t{0});
        std::iota(index.begin() + static_cast<std::ptrdiff_t>(head), index.end(), quadratures + block);
        done.resize(index.size());
        parallel::parallel_map_into(std::span<const std::size_t>(index), done.data(), [&](std::size_t t) -> unsigned char {
            if (t < quadratures) {
                work[t] = profile_by_quadrature(work_u[t], work_rho[t], prepared, work_rtol[t]);
                return 1;
            }
            const std::size_t i = t - quadratures;
            if (slot[i] != kNone || (interpolant && later[i] != 0)) return 0;
            const double r = one_radius ? radii[0] : radii[i];
            Served s = kernel.cheap(separations[i], r);
            if (s.route == Route::quadrature) s.value = profile_by_quadrature(separations[i], r, prepared, rtol);
            finish(i, s);
            return 1;
        });
    }
    if (interpolant) {
        interpolant->build(std::span<const ProfileValue>(work.data(), nodes));
        kernel.interpolant = &*interpolant;
        if (counts != nullptr) {
            counts->interpolant_pieces += interpolant->pieces();
            counts->interpolant_nodes += interpolant->nodes_evaluated();
            counts->disk_evaluations_interpolant += interpolant->disk_evaluations();
        }
    }

    // Then the separations left: the quadrature's values from their slots, and those that waited
    // for the interpolant (or the quadrature now, where their planned piece was not kept). A run
    // of them takes the uniform disk's share of the interpolated ones on the lanes, together.
    index.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (slot[i] != kNone || (interpolant && later[i] != 0)) index.push_back(i);
    }
    struct Rest {
        const decltype(finish)& done;
        const ProfileKernel& kernel;
        const ProfileInterpolant* interpolant;
        const std::vector<std::size_t>& slot;
        const std::vector<ProfileValue>& work;
        const double* separations;
        const double* radii;
        bool one_radius;
        const PreparedLaw& law;
        double rtol;

        // Separation i, unless the interpolant serves it: then false and its excess in *excess.
        bool direct(std::size_t i, double* excess) const {
            Served s;
            if (slot[i] != kNone) {
                s.route = Route::quadrature;
                s.value = work[slot[i]];
            } else if (interpolant != nullptr && interpolant->excess(separations[i], excess)) {
                return false;
            } else {
                const double r = one_radius ? radii[0] : radii[i];
                s = kernel.cheap(separations[i], r);
                if (s.route == Route::quadrature) s.value = profile_by_quadrature(separations[i], r, law, rtol);
            }
            done(i, s);
            return true;
        }
        void interpolated(std::size_t i, double excess, double disk) const {
            Served s;
            s.route = Route::interpolant;
            s.value.value = excess + interpolant->limb_weight() * disk;
            s.value.evaluations = 1;
            done(i, s);
        }
        unsigned char operator()(std::size_t i) const {
            double excess = 0.0;
            if (!direct(i, &excess)) interpolated(i, excess, witt_mao_magnification_scaled(separations[i], radii[0]));
            return 1;
        }
        void range(std::span<const std::size_t> run, unsigned char* out) const {
            constexpr std::size_t kChunk = 64;
            std::size_t which[kChunk];
            double u[kChunk], excess[kChunk], disk[kChunk];
            for (std::size_t begin = 0; begin < run.size(); begin += kChunk) {
                const std::size_t end = std::min(run.size(), begin + kChunk);
                std::size_t m = 0;
                for (std::size_t k = begin; k < end; ++k) {
                    out[k] = 1;
                    if (direct(run[k], &excess[m])) continue;
                    which[m] = run[k];
                    u[m++] = separations[run[k]];
                }
                witt_mao_magnification_at(std::span<const double>(u, m), radii[0], disk);
                for (std::size_t k = 0; k < m; ++k) interpolated(which[k], excess[k], disk[k]);
            }
        }
    };
    done.resize(index.size());
    parallel::parallel_map_into(std::span<const std::size_t>(index), done.data(),
                                Rest{finish, kernel, kernel.interpolant, slot, work, separations, radii, one_radius,
                                     prepared, rtol});
    report.unconverged = unconverged.load();
    report.first_unconverged = first.load();
    report.worst_estimate = worst.load();
    for (const Served& s : served) count(s);
    // A mean of point-source magnifications is at least 1; for a huge source the by-parts sum's
    // rounding may leave it a few ulps below.
    for (std::size_t i = 0; i < n; ++i) out[i] = at_least_one(out[i]);
    return report;
}

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out) {
    return profile_magnification(u, rho, law, rtol, out, nullptr);
}

}  // namespace mirvanta::models
