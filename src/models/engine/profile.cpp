#include "models/engine/profile.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <memory_resource>
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
using call::Scratch;
using call::stopping;

// What every part of a call shares: its route plan, what it reports and its memory.
struct CallContext {
    const RoutePlan& plan;
    Convergence& convergence;
    ProfileCounts* counts;
    std::pmr::memory_resource* memory;
};

// One block of a call: its separations, radii (one, or one per separation) and results, the
// plan of its routes, and what it reports (`offset`: the block's first index in the call;
// `index`, when the elements were gathered from the block, each one's place in it).
struct Call {
    const RoutePlan& plan;
    std::span<const double> u, rho;
    double* out;
    std::size_t offset;
    Convergence& convergence;
    ProfileCounts* counts;
    const std::size_t* index = nullptr;
    const TableSource* table = nullptr;  // the call's tables, where they serve it

    double radius(std::size_t i) const { return rho.size() == 1 ? rho[0] : rho[i]; }

    // Separation i's result.
    void finish(std::size_t i, const ProfileValue& v) const {
        convergence.note(offset + (index != nullptr ? index[i] : i), v);
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
        case Route::table:  // the table's values evaluate nothing; where its bound missed, the quadrature's do
            if (v.evaluations == 0) {
                ++counts->tabulated;
            } else {
                ++counts->quadrature;
                counts->disk_evaluations_quadrature += v.evaluations;
            }
            break;
        case Route::direct: break;
    }
}

// Map 1 of a block: the interpolant's first nodes (tasks below `nodes`, into `node_values`), then
// the separations of routes.first, each into its result.
void run_first(const Call& call, const BlockRoutes& routes, const ProfileInterpolant* interpolant,
               Scratch<ProfileValue>& node_values) {
    std::pmr::memory_resource* memory = node_values.get_allocator().resource();
    const std::size_t nodes = node_values.size();
    Scratch<std::size_t> tasks(nodes + routes.first.size(), memory);
    for (std::size_t t = 0; t < nodes; ++t) tasks[t] = t;
    for (std::size_t k = 0; k < routes.first.size(); ++k) tasks[nodes + k] = nodes + routes.first[k];
    const auto route_of = [&](std::size_t i) { return routes.at(i); };
    // Counted values by task (nodes + the separation's index in the block, as the map hands it).
    Scratch<ProfileValue> served(call.counts != nullptr ? nodes + call.u.size() : 0, memory);
    Scratch<unsigned char> done(tasks.size(), memory);
    parallel::parallel_map_into(std::span<const std::size_t>(tasks), done.data(), [&](std::size_t t) -> unsigned char {
        if (t < nodes) {
            node_values[t] = profile_by_quadrature(interpolant->first_nodes()[t], call.rho[0], call.plan.law(),
                                                   interpolant->node_rtol());
            return 1;
        }
        const std::size_t i = t - nodes;
        const Route route = route_of(i);
        const ProfileValue v = route == Route::table ? call.plan.serve_table(*call.table, call.u[i], call.radius(i))
                                                     : call.plan.serve(route, call.u[i], call.radius(i));
        call.finish(i, v);
        if (!served.empty()) served[t] = v;
        return 1;
    });
    if (served.empty()) return;
    for (std::size_t k = nodes; k < tasks.size(); ++k) call.tally(route_of(tasks[k] - nodes), served[tasks[k]]);
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
    Scratch<std::uint32_t> served(routes.second.size(), routes.second.get_allocator().resource());
    parallel::parallel_map_into(std::span<const std::size_t>(routes.second), served.data(),
                                Interpolated{call, interpolant});
    if (call.counts == nullptr) return;
    for (const std::uint32_t result : served) {
        ProfileValue v;
        v.evaluations = result & ~kByQuadrature;
        call.tally((result & kByQuadrature) != 0 ? Route::quadrature : Route::interpolant, v);
    }
}

// One block of a call, its routes and maps: map 1, the interpolant's build after the first
// block's map 1, map 2.
void serve_block(const Call& call, std::optional<ProfileInterpolant>& interpolant, bool first, BlockRoutes& routes,
                 Scratch<ProfileValue>& node_values) {
    if (!call::route_block(call.plan, call.u, call.rho, interpolant ? &*interpolant : nullptr, routes,
                           call.table != nullptr)) {
        return;
    }
    node_values.assign(first ? interpolant->first_nodes().size() : 0, ProfileValue{});
    run_first(call, routes, interpolant ? &*interpolant : nullptr, node_values);
    if (first) {
        interpolant->build(std::span<const ProfileValue>(node_values));
        if (call.counts != nullptr) {
            call.counts->interpolant_pieces += interpolant->pieces();
            call.counts->interpolant_nodes += interpolant->nodes_evaluated();
            call.counts->disk_evaluations_interpolant += interpolant->disk_evaluations();
        }
    }
    if (interpolant) run_second(call, routes, *interpolant);
}

bool serve_runs(const CallContext& context, std::span<const double> u, std::span<const double> rho, double* out,
                std::size_t offset);

// Serves every separation, a block at a time (arguments that are not contiguous gathered into the
// block's own buffers). The first block's map 1 also evaluates the interpolant's first nodes, and
// the interpolant is built before its map 2. A block of many radii serves its long runs of one
// radius as sources of their own (serve_runs). `offset`: the first separation's index in the call;
// `table`: the call's tables where they serve it (then there is no interpolant).
void serve(const CallContext& context, const ArrayView& u, const ArrayView& rho, double* out, std::size_t offset,
           std::optional<ProfileInterpolant>& interpolant, const TableSource* table = nullptr) {
    call::BlockReader reader(u, rho, context.memory);
    BlockRoutes routes(context.memory);
    Scratch<ProfileValue> node_values(context.memory);
    for (std::size_t begin = 0; begin < u.size(); begin += kBlock) {
        const std::size_t count = std::min(kBlock, u.size() - begin);
        if (stopping()) return;
        reader.read(begin, count);
        if (reader.rho().size() > 1 && serve_runs(context, reader.u(), reader.rho(), out + begin, offset + begin)) {
            continue;
        }
        const Call call{context.plan, reader.u(), reader.rho(), out + begin, offset + begin, context.convergence,
                        context.counts, nullptr, table};
        serve_block(call, interpolant, begin == 0 && interpolant, routes, node_values);
    }
}

// Many separations of one radius (rho of one value): from the bases' tables where they serve the
// call (RoutePlan::tabulates), else with an interpolant where it pays.
void serve_one_radius(const CallContext& context, const ArrayView& u, const ArrayView& rho, double* out,
                      std::size_t offset) {
    const double radius = rho.first();
    if (context.plan.tabulates(radius, u.size())) {
        const TableSource table(radius, context.plan.table_law());
        std::optional<ProfileInterpolant> none;
        return serve(context, u, rho, out, offset, none, &table);
    }
    std::optional<ProfileInterpolant> interpolant = call::plan_interpolant(context.plan, u, rho, 1, context.memory);
    serve(context, u, rho, out, offset, interpolant);
}

// A uniform disk of one finite radius is the kernel itself: its ranges on the lanes, on the
// pool, with exactly the values of the element-wise route (the kernel gives NaN for a negative or
// NaN separation and 1 at infinity, as that route does). Separations that are not contiguous are
// gathered a block at a time.
void uniform_disk(const ArrayView& u, double rho, double* out, std::pmr::memory_resource* memory) {
    struct Disk {
        double rho;
        double operator()(double x) const { return witt_mao_magnification_scaled(x, rho); }
        void range(std::span<const double> x, double* result) const { witt_mao_magnification_at(x, rho, result); }
    };
    if (u.contiguous()) {
        parallel::parallel_map_into(u.span(), out, Disk{rho});
        return;
    }
    Scratch<double> buffer(std::min(kBlock, u.size()), memory);
    for (std::size_t begin = 0; begin < u.size(); begin += kBlock) {
        const std::size_t count = std::min(kBlock, u.size() - begin);
        if (stopping()) return;
        u.gather(begin, count, buffer.data());
        parallel::parallel_map_into(std::span<const double>(buffer.data(), count), out + begin, Disk{rho});
    }
}

// Separations of one finite radius served as one source: the uniform disk's kernel, or the
// call's route plan with an interpolant of their own.
void serve_source(const CallContext& context, std::span<const double> u, double radius, double* out,
                  std::size_t offset) {
    const ArrayView separations(u), radii(std::span<const double>(&radius, 1));
    if (context.plan.law().uniform) return uniform_disk(separations, radius, out, context.memory);
    serve_one_radius(context, separations, radii, out, offset);
}

// The end of the run of equal radii that starts at `begin`.
std::size_t run_end(std::span<const double> rho, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < rho.size() && rho[end] == rho[begin]) ++end;
    return end;
}

// A block of many radii, where a source of one radius often spans many separations in a row (an
// array of equal radii, or radii broadcast along the separations' last axis): each run of one
// radius long enough for an interpolant is served as one source (serve_source), and the other
// separations one by one, gathered into a call of their own. Each separation's value is then
// that of its route, for a run as for a call of that radius alone with its separations. False,
// and nothing served, when no run is that long or the law has no such route (a tabulated
// profile has no interpolant).
bool serve_runs(const CallContext& context, std::span<const double> u, std::span<const double> rho, double* out,
                std::size_t offset) {
    const PreparedLaw& law = context.plan.law();
    if (law.law.kind == LawKind::tabulated) return false;
    const std::size_t shortest = interpolant_nodes(context.plan.rtol());
    const auto one_source = [&](std::size_t begin, std::size_t end) {
        const double radius = rho[begin];
        const bool servable = radius > 0.0 || (law.uniform && radius == 0.0);
        return end - begin >= shortest && radius < numerics::kInfinity && servable;
    };
    std::size_t rest = 0;
    for (std::size_t begin = 0, end = 0; begin < rho.size(); begin = end) {
        end = run_end(rho, begin);
        if (!one_source(begin, end)) rest += end - begin;
    }
    if (rest == rho.size()) return false;
    Scratch<double> u_rest(rest, context.memory), rho_rest(rest, context.memory), out_rest(rest, context.memory);
    Scratch<std::size_t> index(rest, context.memory);
    std::size_t k = 0;
    for (std::size_t begin = 0, end = 0; begin < rho.size(); begin = end) {
        end = run_end(rho, begin);
        if (one_source(begin, end)) {
            if (stopping()) return true;
            serve_source(context, u.subspan(begin, end - begin), rho[begin], out + begin, offset + begin);
            continue;
        }
        for (std::size_t i = begin; i < end; ++i, ++k) {
            u_rest[k] = u[i];
            rho_rest[k] = rho[i];
            index[k] = i;
        }
    }
    if (rest == 0) return true;
    const Call call{context.plan, u_rest, rho_rest, out_rest.data(), offset, context.convergence, context.counts,
                    index.data()};
    std::optional<ProfileInterpolant> none;
    BlockRoutes routes(context.memory);
    Scratch<ProfileValue> node_values(context.memory);
    serve_block(call, none, false, routes, node_values);
    for (std::size_t j = 0; j < rest; ++j) out[index[j]] = out_rest[j];
    return true;
}

}  // namespace

ProfileReport profile_magnification(const ProfileSetup& setup, const ArrayView& u, const ArrayView& rho, double* out,
                                    ProfileCounts* counts, std::pmr::memory_resource* memory) {
    const std::size_t n = u.size();
    if (rho.size() != 1 && rho.size() != n) {  // the caller broadcasts rho
        throw Panic("profile_magnification: " + std::to_string(rho.size()) + " source radii for " + std::to_string(n) +
                    " separations");
    }
    if (n == 0) return {};
    if (setup.law().uniform && rho.one_value() && rho.first() >= 0.0 && rho.first() < numerics::kInfinity) {
        uniform_disk(u, rho.first(), out, memory);
        return {};
    }
    const RoutePlan& plan = setup.plan();
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
    const CallContext context{plan, convergence, counts, memory};
    if (rho.one_value()) {
        serve_one_radius(context, u, rho, out, 0);
    } else {
        std::optional<ProfileInterpolant> interpolant;  // many radii: runs of one are served as sources
        serve(context, u, rho, out, 0, interpolant);
    }
    return convergence.report();
}

std::size_t profile_scratch_bytes(std::size_t separations) {
    // Per separation: its route (1 byte), its place in a map's list (8), a map 1 task and its
    // result (8 + 1), a map 2 result (4) and, when counted, its value (sizeof(ProfileValue)), with
    // a margin of twice that; besides, the interpolant's pieces (each with room for a gradient's
    // components), nodes and rounds: a few hundred KiB at most.
    return separations * (22 + sizeof(ProfileValue)) * 2 + (std::size_t{1} << 20);
}

ProfileReport profile_magnification(const ArrayView& u, const ArrayView& rho, const BrightnessLaw& law, double rtol,
                                    double* out, ProfileCounts* counts) {
    const ProfileSetup setup(law, rtol);
    return profile_magnification(setup, u, rho, out, counts, std::pmr::get_default_resource());
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
