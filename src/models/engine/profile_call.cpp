#include "models/engine/profile_call.hpp"

#include <algorithm>
#include <cmath>

#include "common/interruption.hpp"
#include "numerics/constants.hpp"
#include "parallel/map_scope.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models::call {

bool stopping() { return parallel::element_should_stop(); }

void Convergence::note(std::size_t i, const ProfileValue& v) {
    if (v.converged) return;
    unconverged_.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t seen = first_.load(std::memory_order_relaxed);
         i < seen && !first_.compare_exchange_weak(seen, i, std::memory_order_relaxed);) {
    }
    const double estimate = std::isnan(v.value) ? numerics::kNaN : v.estimate;
    for (double seen = worst_.load(std::memory_order_relaxed);
         !(estimate <= seen) && !std::isnan(seen) && !worst_.compare_exchange_weak(seen, estimate, std::memory_order_relaxed);) {
    }
}

BlockReader::BlockReader(const ArrayView& u, const ArrayView& rho, std::pmr::memory_resource* memory)
    : u_(u), rho_(rho), radius_(rho.first()),
      u_buffer_(u.contiguous() ? 0 : std::min(kBlock, u.size()), memory),
      rho_buffer_(rho.one_value() || rho.contiguous() ? 0 : std::min(kBlock, u.size()), memory) {}

void BlockReader::read(std::size_t begin, std::size_t count) {
    if (u_.contiguous()) {
        u_block_ = u_.span().subspan(begin, count);
    } else {
        u_.gather(begin, count, u_buffer_.data());
        u_block_ = std::span<const double>(u_buffer_.data(), count);
    }
    if (rho_.one_value()) {
        rho_block_ = std::span<const double>(&radius_, 1);
    } else if (rho_.contiguous()) {
        rho_block_ = rho_.span().subspan(begin, count);
    } else {
        rho_.gather(begin, count, rho_buffer_.data());
        rho_block_ = std::span<const double>(rho_buffer_.data(), count);
    }
}

bool route_block(const RoutePlan& plan, std::span<const double> u, std::span<const double> rho,
                 const ProfileInterpolant* interpolant, BlockRoutes& routes, bool tables) {
    const std::size_t count = u.size();
    routes.route.resize(count);
    if (rho.size() == 1) {
        const double radius = rho[0];
        parallel::parallel_map_into(u, routes.route.data(), [&](double x) {
            return static_cast<unsigned char>(plan.route(x, radius, interpolant, tables));
        });
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            if (i % kStretch == 0 && stopping()) return false;
            routes.route[i] = static_cast<unsigned char>(plan.route(u[i], rho[i], interpolant, tables));
        }
    }
    const auto interpolated = static_cast<std::size_t>(
        std::count(routes.route.begin(), routes.route.end(), static_cast<unsigned char>(Route::interpolant)));
    routes.first.clear();
    routes.second.clear();
    routes.first.reserve(count - interpolated);
    routes.second.reserve(interpolated);
    for (std::size_t i = 0; i < count; ++i) {
        if (routes.at(i) == Route::quadrature) routes.first.push_back(i);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Route r = routes.at(i);
        if (r == Route::direct || r == Route::series || r == Route::table) routes.first.push_back(i);
        if (r == Route::interpolant) routes.second.push_back(i);
    }
    return true;
}

std::optional<ProfileInterpolant> plan_interpolant(const RoutePlan& plan, const ArrayView& u, const ArrayView& rho,
                                                   std::size_t components, std::pmr::memory_resource* memory) {
    std::optional<ProfileInterpolant> interpolant;
    const PreparedLaw& law = plan.law();
    const double radius = rho.first();
    if (!rho.one_value() || u.size() < interpolant_nodes(plan.rtol()) || law.uniform ||
        law.law.kind == LawKind::tabulated || !(radius > 0.0 && radius < numerics::kInfinity)) {
        return interpolant;
    }
    interpolant.emplace(radius, law, plan.rtol(), plan.far(radius), components, memory);
    Scratch<double> stretch(u.contiguous() ? 0 : kStretch, memory);
    for (std::size_t begin = 0; begin < u.size(); begin += kStretch) {
        if (stopping()) {
            interpolant.reset();
            return interpolant;
        }
        const std::size_t count = std::min(kStretch, u.size() - begin);
        if (u.contiguous()) {
            interpolant->count(u.span().subspan(begin, count));
        } else {
            u.gather(begin, count, stretch.data());
            interpolant->count(std::span<const double>(stretch.data(), count));
        }
    }
    interpolant->plan();
    return interpolant;
}

}  // namespace mirvanta::models::call
