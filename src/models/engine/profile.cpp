#include "models/engine/profile.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/interruption.hpp"
#include "common/panic.hpp"
#include "models/engine/profile_call.hpp"
#include "models/engine/profile_interpolant.hpp"
#include "models/engine/route_plan.hpp"
#include "models/kernel/general_form_terms.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

using call::BlockRoutes;
using call::Convergence;
using call::kBlock;

// One block of a call: its separations, radii (one, or one per separation) and results, the
// plan of its routes, and what it reports (`offset`: the block's first index in the call).
struct Call {
    const RoutePlan& plan;
    std::span<const double> u, rho;
    double* out;
    std::size_t offset;
    Convergence& convergence;
    ProfileCounts* counts;

    double radius(std::size_t i) const { return rho.size() == 1 ? rho[0] : rho[i]; }

    // Separation i's result.
    void finish(std::size_t i, const ProfileValue& v) const {
        convergence.note(offset + i, v);
        out[i] = at_least_one(v.value);  // a mean of point-source magnifications is at least 1
    }
    void tally(Route route, const ProfileValue& v) const;
};

void Call::tally(Route route, const ProfileValue& v) const {
    switch (route) {
        case Route::series: ++counts->series; break;
        case Route::interpolant:
            ++counts->interpolated;
            counts->disk_evaluations_interpolated += v.evaluations;
            break;
        case Route::quadrature:
            ++counts->quadrature;
            counts->disk_evaluations_quadrature += v.evaluations;
            break;
        case Route::direct: break;
    }
}

// Map 1 of a block: the interpolant's first nodes (tasks below `nodes`, into `node_values`), then
// the separations of routes.first, each into its result.
void run_first(const Call& call, const BlockRoutes& routes, const ProfileInterpolant* interpolant,
               std::vector<ProfileValue>& node_values) {
    const std::size_t nodes = node_values.size();
    std::vector<std::size_t> tasks(nodes + routes.first.size());
    for (std::size_t t = 0; t < nodes; ++t) tasks[t] = t;
    for (std::size_t k = 0; k < routes.first.size(); ++k) tasks[nodes + k] = nodes + routes.first[k];
    const auto route_of = [&](std::size_t i) { return routes.at(i); };
    // For the counts, by task (a node, or nodes + a separation's index in the block).
    std::vector<ProfileValue> served(call.counts != nullptr ? nodes + call.u.size() : 0);
    std::vector<unsigned char> done(tasks.size());
    parallel::parallel_map_into(std::span<const std::size_t>(tasks), done.data(), [&](std::size_t t) -> unsigned char {
        if (t < nodes) {
            node_values[t] = profile_by_quadrature(interpolant->first_nodes()[t], call.rho[0], call.plan.law(),
                                                   interpolant->node_rtol());
            return 1;
        }
        const std::size_t i = t - nodes;
        const ProfileValue v = call.plan.serve(route_of(i), call.u[i], call.radius(i));
        call.finish(i, v);
        if (!served.empty()) served[t] = v;
        return 1;
    });
    if (served.empty()) return;
    for (const std::size_t i : routes.first) call.tally(route_of(i), served[nodes + i]);
}

// Map 2 of a block: the separations the interpolant took. Those that a kept piece holds get its
// excess and the uniform disk's share, a run of them together on the lanes; the others (their
// piece was not kept) the quadrature. Each element's result says which, and its uniform-disk
// evaluations (kByQuadrature marks the quadrature's).
constexpr std::uint32_t kByQuadrature = std::uint32_t{1} << 31;

struct Interpolated {
    const Call& call;
    const ProfileInterpolant& interpolant;

    std::uint32_t finish(std::size_t i, double excess, double disk) const {
        ProfileValue v;
        v.value = excess + interpolant.limb_weight() * disk;
        v.evaluations = 1;
        call.finish(i, call.plan.reported(Route::interpolant, v));
        return 1;
    }
    bool direct(std::size_t i, double* excess, std::uint32_t* result) const {
        if (interpolant.excess(call.u[i], excess)) return false;
        const ProfileValue v = call.plan.serve(Route::quadrature, call.u[i], call.rho[0]);
        call.finish(i, v);
        *result = kByQuadrature | v.evaluations;
        return true;
    }
    std::uint32_t operator()(std::size_t i) const {
        double excess = 0.0;
        std::uint32_t result = 0;
        if (direct(i, &excess, &result)) return result;
        return finish(i, excess, witt_mao_magnification_scaled(call.u[i], call.rho[0]));
    }
    void range(std::span<const std::size_t> run, std::uint32_t* out) const {
        constexpr std::size_t kChunk = 64;
        std::size_t which[kChunk], slot[kChunk];
        double u[kChunk], excess[kChunk], disk[kChunk];
        for (std::size_t begin = 0; begin < run.size(); begin += kChunk) {
            const std::size_t end = std::min(run.size(), begin + kChunk);
            std::size_t m = 0;
            for (std::size_t k = begin; k < end; ++k) {
                if (direct(run[k], &excess[m], &out[k])) continue;
                which[m] = run[k];
                slot[m] = k;
                u[m++] = call.u[run[k]];
            }
            witt_mao_magnification_at(std::span<const double>(u, m), call.rho[0], disk);
            for (std::size_t k = 0; k < m; ++k) out[slot[k]] = finish(which[k], excess[k], disk[k]);
        }
    }
};

void run_second(const Call& call, const BlockRoutes& routes, const ProfileInterpolant& interpolant) {
    if (routes.second.empty()) return;
    std::vector<std::uint32_t> served(routes.second.size());
    parallel::parallel_map_into(std::span<const std::size_t>(routes.second), served.data(),
                                Interpolated{call, interpolant});
    if (call.counts == nullptr) return;
    for (const std::uint32_t result : served) {
        ProfileValue v;
        v.evaluations = result & ~kByQuadrature;
        call.tally((result & kByQuadrature) != 0 ? Route::quadrature : Route::interpolant, v);
    }
}

// Serves every separation, a block at a time (arguments that are not contiguous gathered into the
// block's own buffers). The first block's map 1 also evaluates the interpolant's first nodes, and
// the interpolant is built before its map 2.
void serve(const RoutePlan& plan, const ArrayView& u, const ArrayView& rho, double* out, Convergence& convergence,
           ProfileCounts* counts, std::optional<ProfileInterpolant>& interpolant) {
    call::BlockReader reader(u, rho);
    BlockRoutes routes;
    std::vector<ProfileValue> node_values;
    for (std::size_t begin = 0; begin < u.size(); begin += kBlock) {
        const std::size_t count = std::min(kBlock, u.size() - begin);
        interruption_point();
        reader.read(begin, count);
        const Call call{plan, reader.u(), reader.rho(), out + begin, begin, convergence, counts};
        const bool first = begin == 0 && interpolant;
        call::route_block(plan, call.u, call.rho, interpolant ? &*interpolant : nullptr, routes);
        node_values.assign(first ? interpolant->first_nodes().size() : 0, ProfileValue{});
        run_first(call, routes, interpolant ? &*interpolant : nullptr, node_values);
        if (first) {
            interpolant->build(std::span<const ProfileValue>(node_values));
            if (counts != nullptr) {
                counts->interpolant_pieces += interpolant->pieces();
                counts->interpolant_nodes += interpolant->nodes_evaluated();
                counts->disk_evaluations_interpolant += interpolant->disk_evaluations();
            }
        }
        if (interpolant) run_second(call, routes, *interpolant);
    }
}

// A uniform disk of one finite radius is the kernel itself: its ranges on the lanes, on the
// pool, with exactly the values of the element-wise route (the kernel gives NaN for a negative or
// NaN separation and 1 at infinity, as that route does). Separations that are not contiguous are
// gathered a block at a time.
void uniform_disk(const ArrayView& u, double rho, double* out) {
    struct Disk {
        double rho;
        double operator()(double x) const { return witt_mao_magnification_scaled(x, rho); }
        void range(std::span<const double> x, double* result) const { witt_mao_magnification_at(x, rho, result); }
    };
    if (u.contiguous()) {
        parallel::parallel_map_into(u.span(), out, Disk{rho});
        return;
    }
    std::vector<double> buffer(std::min(kBlock, u.size()));
    for (std::size_t begin = 0; begin < u.size(); begin += kBlock) {
        const std::size_t count = std::min(kBlock, u.size() - begin);
        interruption_point();
        u.gather(begin, count, buffer.data());
        parallel::parallel_map_into(std::span<const double>(buffer.data(), count), out + begin, Disk{rho});
    }
}

}  // namespace

ProfileReport profile_magnification(const ArrayView& u, const ArrayView& rho, const BrightnessLaw& law, double rtol,
                                    double* out, ProfileCounts* counts) {
    const std::size_t n = u.size();
    if (rho.size() != 1 && rho.size() != n) {  // the caller broadcasts rho
        throw Panic("profile_magnification: " + std::to_string(rho.size()) + " source radii for " + std::to_string(n) +
                    " separations");
    }
    if (n == 0) return {};
    const PreparedLaw prepared = prepare_law(law);
    if (prepared.uniform && rho.one_value() && rho.first() >= 0.0 && rho.first() < numerics::kInfinity) {
        uniform_disk(u, rho.first(), out);
        return {};
    }
    const RoutePlan plan(prepared, rtol);
    Convergence convergence;
    if (n == 1) {  // one separation: on the calling thread, with nothing to allocate
        const double x = u.span()[0], radius = rho.first();
        const Route route = plan.route(x, radius, nullptr);
        const ProfileValue v = plan.serve(route, x, radius);
        const Call call{plan, u.span(), rho.span(), out, 0, convergence, counts};
        call.finish(0, v);
        if (counts != nullptr) call.tally(route, v);
        return convergence.report();
    }
    std::optional<ProfileInterpolant> interpolant = call::plan_interpolant(plan, u, rho, 1);
    serve(plan, u, rho, out, convergence, counts, interpolant);
    return convergence.report();
}

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out, ProfileCounts* counts) {
    return profile_magnification(ArrayView(u), ArrayView(rho), law, rtol, out, counts);
}

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out) {
    return profile_magnification(ArrayView(u), ArrayView(rho), law, rtol, out, nullptr);
}

}  // namespace mirvanta::models
