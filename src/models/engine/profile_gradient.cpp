#include "models/engine/profile_gradient.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/interruption.hpp"
#include "common/panic.hpp"
#include "models/engine/law_gradient.hpp"
#include "models/engine/profile_call.hpp"
#include "models/engine/profile_table_gradient.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "models/kernel/disk_derivatives.hpp"
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

// The value and derivatives of a special value, the point source or the uniform disk.
ProfileGradient direct_gradient(double u, double rho) {
    ProfileGradient g;
    if (std::isnan(u) || std::isnan(rho) || u < 0.0 || rho < 0.0) {
        g.value.value = g.du = g.drho = numerics::kNaN;
        g.dlimb.fill(numerics::kNaN);
        return g;
    }
    if (u == numerics::kInfinity || rho == numerics::kInfinity) {
        g.value.value = 1.0;
        return g;
    }
    const DiskDerivatives disk = witt_mao_derivatives(u, rho);
    g.value.value = disk.value;
    g.value.evaluations = rho == 0.0 ? 0 : 1;
    g.du = disk.du;
    g.drho = disk.drho;
    return g;
}

// Separation (u, rho) by `route` (not the interpolant's); a tabulated profile's derivatives in its
// brightness values into `row`.
ProfileGradient serve_gradient(const RoutePlan& plan, const LawGradient& coefficients, Route route, double u,
                               double rho, double* row) {
    const bool table = plan.law().law.kind == LawKind::tabulated;
    switch (route) {
        case Route::direct: {
            const ProfileGradient g = direct_gradient(u, rho);
            if (table) std::fill(row, row + coefficients.count, std::isnan(g.value.value) ? numerics::kNaN : 0.0);
            return g;
        }
        case Route::series: {
            const SeriesGradient s = profile_series_gradient(u, rho, plan.series());
            ProfileGradient g;
            g.value.value = s.value;
            g.du = s.du;
            g.drho = s.drho;
            for (std::size_t j = 0; j < coefficients.count; ++j) {
                double sum = 0.0;
                for (std::size_t k = 1; k <= s.terms; ++k) sum += s.by_moment[k] * coefficients.moments[j][k];
                (table ? row[j] : g.dlimb[j]) = sum;
            }
            g.value = plan.reported(route, g.value);
            return g;
        }
        case Route::interpolant:
        case Route::quadrature:
        case Route::table:  // where the call's tables missed their bounds (GradientCall::serve)
            break;
    }
    ProfileGradient g = gradient_by_quadrature(u, rho, plan.law(), coefficients, plan.rtol(), row);
    g.value = plan.reported(route, g.value);
    return g;
}

// One block of a gradient call: its separations and radii, where its results go, and what the
// call knows of its law's coefficients.
struct GradientCall {
    const RoutePlan& plan;
    const LawGradient& coefficients;
    std::span<const double> u, rho;
    GradientOutput out;  // at the block's first separation
    std::size_t offset;
    Convergence& convergence;
    const TableGradient* table;  // the call's tables, where they serve it

    double radius(std::size_t i) const { return rho.size() == 1 ? rho[0] : rho[i]; }
    double* row(std::size_t i) const { return out.dlimb + i * out.dlimb_stride; }

    // Separation i's result (a tabulated profile's coefficients are in its row already).
    void finish(std::size_t i, const ProfileGradient& g) const {
        convergence.note(offset + i, g.value);
        // A mean of point-source magnifications is at least 1; where rounding took the value
        // below, the derivatives are those of the value computed.
        out.value[i] = at_least_one(g.value.value);
        out.du[i * out.du_stride] = g.du;
        out.drho[i * out.drho_stride] = g.drho;
        if (plan.law().law.kind == LawKind::tabulated) return;
        for (std::size_t j = 0; j < coefficients.count; ++j) row(i)[j] = g.dlimb[j];
    }
    void serve(std::size_t i, Route route) const {
        if (route == Route::table) {
            ProfileGradient g;
            if (table->serve(u[i], budget::kTable * plan.rtol(), g)) {
                g.value = plan.reported(route, g.value);
                return finish(i, g);
            }
        }
        finish(i, serve_gradient(plan, coefficients, route, u[i], radius(i), row(i)));
    }
};

// Map 1 of a block: the interpolant's first nodes (tasks below their count), then the
// separations of routes.first.
void run_first(const GradientCall& call, const BlockRoutes& routes, const ProfileInterpolant* interpolant,
               std::vector<ProfileGradient>& node_values) {
    const std::size_t nodes = node_values.size();
    std::vector<std::size_t> tasks(nodes + routes.first.size());
    for (std::size_t t = 0; t < nodes; ++t) tasks[t] = t;
    for (std::size_t k = 0; k < routes.first.size(); ++k) tasks[nodes + k] = nodes + routes.first[k];
    std::vector<unsigned char> done(tasks.size());
    parallel::parallel_map_into(std::span<const std::size_t>(tasks), done.data(), [&](std::size_t t) -> unsigned char {
        if (t < nodes) {
            node_values[t] = gradient_by_quadrature(interpolant->first_nodes()[t], call.rho[0], call.plan.law(),
                                                    call.coefficients, interpolant->node_rtol(), nullptr);
            return 1;
        }
        call.serve(t - nodes, routes.at(t - nodes));
        return 1;
    });
}

// Map 2 of a block: the separations the interpolant took, each from its components and its share
// of the uniform disk's derivatives (those of a run together on the lanes), or by quadrature where
// its piece was not kept.
struct Interpolated {
    const GradientCall& call;
    const ProfileInterpolant& interpolant;

    void finish(std::size_t i, const double* c, const DiskDerivatives& disk) const {
        const double w = interpolant.limb_weight();
        ProfileGradient g;
        g.value.value = c[0] + w * disk.value;
        g.value.evaluations = 1;
        g.du = c[1] + w * disk.du;
        g.drho = c[2] + w * disk.drho;
        for (std::size_t j = 0; j < call.coefficients.count; ++j) {
            g.dlimb[j] = c[kGradientParts + j] + interpolant.limb_weight_derivative(j) * disk.value;
        }
        g.value = call.plan.reported(Route::interpolant, g.value);
        call.finish(i, g);
    }
    unsigned char operator()(std::size_t i) const {
        double c[kMostInterpolantComponents];
        if (!interpolant.excess_components(call.u[i], c)) {
            call.serve(i, Route::quadrature);
            return 0;
        }
        finish(i, c, witt_mao_derivatives(call.u[i], call.rho[0]));
        return 1;
    }
    void range(std::span<const std::size_t> run, unsigned char* out) const {
        constexpr std::size_t kChunk = 64;
        std::size_t which[kChunk];
        double u[kChunk], c[kChunk][kMostInterpolantComponents];
        DiskDerivatives disk[kChunk];
        for (std::size_t begin = 0; begin < run.size(); begin += kChunk) {
            const std::size_t end = std::min(run.size(), begin + kChunk);
            std::size_t m = 0;
            for (std::size_t k = begin; k < end; ++k) {
                out[k] = interpolant.excess_components(call.u[run[k]], c[m]) ? 1 : 0;
                if (out[k] == 0) {
                    call.serve(run[k], Route::quadrature);
                    continue;
                }
                which[m] = run[k];
                u[m++] = call.u[run[k]];
            }
            witt_mao_derivatives_at(std::span<const double>(u, m), call.rho[0], disk);
            for (std::size_t k = 0; k < m; ++k) finish(which[k], c[k], disk[k]);
        }
    }
};

void run_second(const GradientCall& call, const BlockRoutes& routes, const ProfileInterpolant& interpolant) {
    if (routes.second.empty()) return;
    std::vector<unsigned char> done(routes.second.size());
    parallel::parallel_map_into(std::span<const std::size_t>(routes.second), done.data(),
                                Interpolated{call, interpolant});
}

// A uniform disk of one finite radius: the kernel's values and derivatives, runs of separations
// together on the lanes, with the bits of the element-wise route (direct_gradient).
struct UniformDisk {
    const GradientCall& call;

    static bool on_lanes(double u) { return u >= 0.0 && u < numerics::kInfinity; }
    void finish(std::size_t i, const DiskDerivatives& disk) const {
        ProfileGradient g;
        g.value.value = disk.value;
        g.value.evaluations = 1;
        g.du = disk.du;
        g.drho = disk.drho;
        call.finish(i, g);
    }
    unsigned char operator()(std::size_t i) const {
        call.serve(i, Route::direct);
        return 1;
    }
    void range(std::span<const std::size_t> run, unsigned char* out) const {
        constexpr std::size_t kChunk = 256;
        std::size_t which[kChunk];
        double u[kChunk];
        DiskDerivatives disk[kChunk];
        for (std::size_t begin = 0; begin < run.size(); begin += kChunk) {
            const std::size_t end = std::min(run.size(), begin + kChunk);
            std::size_t m = 0;
            for (std::size_t k = begin; k < end; ++k) {
                out[k] = 1;
                if (!on_lanes(call.u[run[k]])) {
                    call.serve(run[k], Route::direct);
                    continue;
                }
                which[m] = run[k];
                u[m++] = call.u[run[k]];
            }
            witt_mao_derivatives_at(std::span<const double>(u, m), call.rho[0], disk);
            for (std::size_t k = 0; k < m; ++k) finish(which[k], disk[k]);
        }
    }
};

void serve(const RoutePlan& plan, const LawGradient& coefficients, const ArrayView& u, const ArrayView& rho,
           const GradientOutput& out, Convergence& convergence, std::optional<ProfileInterpolant>& interpolant,
           const TableGradient* table) {
    call::BlockReader reader(u, rho);
    BlockRoutes routes;
    std::vector<ProfileGradient> node_values;
    // A uniform disk of one finite radius takes the kernel's route for every separation (a
    // tabulated profile that is uniform takes it too, by serve_gradient, which fills its row).
    const double radius = rho.first();
    const bool uniform = plan.law().law.kind == LawKind::uniform && rho.one_value() && radius > 0.0 &&
                         radius < numerics::kInfinity;
    std::vector<std::size_t> indices;
    for (std::size_t begin = 0; begin < u.size(); begin += kBlock) {
        const std::size_t count = std::min(kBlock, u.size() - begin);
        interruption_point();
        reader.read(begin, count);
        const GradientOutput at{out.value + begin,         out.du + begin * out.du_stride,
                                out.drho + begin * out.drho_stride, out.dlimb + begin * out.dlimb_stride,
                                out.du_stride,                  out.drho_stride,
                                out.dlimb_stride};
        const GradientCall call{plan, coefficients, reader.u(), reader.rho(), at, begin, convergence, table};
        if (uniform) {
            indices.resize(count);
            for (std::size_t i = 0; i < count; ++i) indices[i] = i;
            std::vector<unsigned char> done(count);
            parallel::parallel_map_into(std::span<const std::size_t>(indices), done.data(), UniformDisk{call});
            continue;
        }
        const bool first = begin == 0 && interpolant;
        call::route_block(plan, call.u, call.rho, interpolant ? &*interpolant : nullptr, routes, table != nullptr);
        node_values.assign(first ? interpolant->first_nodes().size() : 0, ProfileGradient{});
        run_first(call, routes, interpolant ? &*interpolant : nullptr, node_values);
        if (first) interpolant->build(std::span<const ProfileGradient>(node_values));
        if (interpolant) run_second(call, routes, *interpolant);
    }
}

}  // namespace

std::size_t law_coefficient_count(const BrightnessLaw& law) { return coefficient_count(law); }

ProfileReport profile_gradient(const ArrayView& u, const ArrayView& rho, const BrightnessLaw& law, double rtol,
                               const GradientOutput& out) {
    const std::size_t n = u.size();
    if (rho.size() != 1 && rho.size() != n) {  // the caller broadcasts rho
        throw Panic("profile_gradient: " + std::to_string(rho.size()) + " source radii for " + std::to_string(n) +
                    " separations");
    }
    if (n == 0) return {};
    // A law with coefficients is not the uniform disk for its derivatives, even where its
    // coefficients make it uniform (Linear(0)): they go through the series and the quadrature.
    PreparedLaw prepared = prepare_law(law);
    if (law.kind != LawKind::uniform && law.kind != LawKind::tabulated) prepared.uniform = false;
    const LawGradient coefficients = law_gradient(prepared);
    GradientOutput where = out;
    if (where.dlimb_stride == 0) where.dlimb_stride = coefficients.count;
    const RoutePlan plan(prepared, rtol);
    Convergence convergence;
    std::optional<ProfileInterpolant> interpolant;
    // Many separations of one radius: from the bases' tables where the value would be and where
    // their derivatives' bounds hold across ln rho (at rtol 1e-8 and above for the usual laws),
    // else with an interpolant where it pays.
    std::optional<TableGradient> table;
    if (rho.one_value() && plan.tabulates(rho.first(), n)) {
        table.emplace(rho.first(), plan.table_law(), table_law_derivatives(prepared));
        if (!(table->widest_log_rho_bound() <= budget::kTable * plan.rtol())) table.reset();
    }
    if (!table) {
        interpolant = call::plan_interpolant(plan, u, rho, kGradientParts + coefficients.count);
        if (interpolant) interpolant->use_coefficients(coefficients);
    }
    serve(plan, coefficients, u, rho, where, convergence, interpolant, table ? &*table : nullptr);
    return convergence.report();
}

}  // namespace mirvanta::models
