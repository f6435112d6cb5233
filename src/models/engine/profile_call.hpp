// What the profile engine's calls share (models/engine/profile.cpp for values,
// profile_gradient.cpp for values with their derivatives): the separations read a block at a time,
// each block's routes, the interpolant planned from all of them, and the report of what did not
// converge. Their memory comes from the call's resource (the default one, or a batch's scratch
// on a worker: models/engine/profile_events.hpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <vector>

#include "models/array_view.hpp"
#include "models/engine/profile.hpp"
#include "models/engine/profile_interpolant.hpp"
#include "models/engine/route_plan.hpp"

namespace mirvanta::models::call {

template <class T>
using Scratch = std::pmr::vector<T>;

// Whether the call is to stop, asked between its steps. Called on its own, the call throws
// Interrupted when the caller's hook says stop; as an element of a map (an event of a batch), it
// is true once that map has stopped, and the call returns, its results unused (a worker throws
// nothing).
bool stopping();

// Separations served together: a call's own memory (routes, the maps' index lists, gathered
// arguments) is a few bytes times this, whatever the number of separations, and its calling
// thread asks whether to stop between blocks and within their maps.
inline constexpr std::size_t kBlock = kProfileBlock;

// Separations counted or routed on the calling thread between two questions to the caller: a few
// nanoseconds each, so well within the poll interval (common/interruption.hpp).
inline constexpr std::size_t kStretch = std::size_t{1} << 14;

// What did not converge, gathered from the workers (rare): atomics. A value that is NaN has no
// error estimate that means anything: it is reported as NaN.
class Convergence {
public:
    void note(std::size_t i, const ProfileValue& v);
    ProfileReport report() const { return {unconverged_.load(), first_.load(), worst_.load()}; }

private:
    std::atomic<std::size_t> unconverged_{0}, first_{SIZE_MAX};
    std::atomic<double> worst_{0.0};
};

// The arguments of one block, where they lie or gathered into the reader's own buffers (rho: one
// value for all, or one per separation).
class BlockReader {
public:
    BlockReader(const ArrayView& u, const ArrayView& rho,
                std::pmr::memory_resource* memory = std::pmr::get_default_resource());
    void read(std::size_t begin, std::size_t count);
    std::span<const double> u() const { return u_block_; }
    std::span<const double> rho() const { return rho_block_; }

private:
    const ArrayView& u_;
    const ArrayView& rho_;
    double radius_;
    Scratch<double> u_buffer_, rho_buffer_;
    std::span<const double> u_block_, rho_block_;
};

// The separations of one block by route: the quadratures, then the direct values and the
// series' (`first`: map 1 takes the quadratures first, so that the map sees early what the whole
// is worth and the cheap elements at its end even out the participants' last runs), and the
// interpolant's (`second`).
struct BlockRoutes {
    explicit BlockRoutes(std::pmr::memory_resource* memory = std::pmr::get_default_resource())
        : route(memory), first(memory), second(memory) {}
    Scratch<unsigned char> route;  // by separation of the block
    Scratch<std::size_t> first, second;
    Route at(std::size_t i) const { return static_cast<Route>(route[i]); }
};

// False when the call stopped meanwhile (stopping()). The tables' separations (`tables`: the call
// has them) go with the direct and series ones.
bool route_block(const RoutePlan& plan, std::span<const double> u, std::span<const double> rho,
                 const ProfileInterpolant* interpolant, BlockRoutes& routes, bool tables = false);

// The interpolant of a call with many separations of one source, when any of its pieces pays
// (with `components` as ProfileInterpolant takes them): the separations counted a stretch at a
// time, between questions to the caller. Not for a tabulated profile: its magnification bends
// where the lens crosses each of its radii, not only at the limb, and the quadrature serves it
// directly.
std::optional<ProfileInterpolant> plan_interpolant(const RoutePlan& plan, const ArrayView& u, const ArrayView& rho,
                                                   std::size_t components,
                                                   std::pmr::memory_resource* memory = std::pmr::get_default_resource());

}  // namespace mirvanta::models::call
