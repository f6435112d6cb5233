// The magnification of a radially symmetric source star whose brightness follows a law
// (models/engine/brightness_law.hpp), from the uniform-disk kernel, to a relative tolerance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>

#include "models/array_view.hpp"
#include "models/engine/brightness_law.hpp"
#include "models/engine/route_plan.hpp"

namespace mirvanta::models {

// What a call could not do: how many results did not reach rtol (each is still the best
// estimate), the first such index, and the worst estimated relative error among them (NaN when a
// value is NaN from inputs that are not: such a value never counts as reached).
struct ProfileReport {
    std::size_t unconverged = 0;
    std::size_t first_unconverged = SIZE_MAX;
    double worst_estimate = 0.0;
};

// out[i] = the magnification at separation u[i] (Einstein radii) of a source of radius rho
// (Einstein radii; rho.size() == 1: one radius for all; else rho.size() == u.size(), rho[i]) whose
// brightness follows `law`, to relative tolerance rtol (any other rho.size() is an internal
// failure: Panic). `out` may alias u. Separations run on the
// worker pool; the workers allocate nothing.
// Domain, as the caller validates it: law with brightness >= 0 on the disk and a positive flux,
// radii ascending in [0, 1], alpha > 0; u >= 0, rho >= 0. NaN u or rho gives NaN; rho = 0 the
// point-source magnification; u = inf or rho = inf gives 1. The engine reaches relative errors
// down to kFinestTolerance, where the uniform-disk kernel's own errors (a few 1e-16, up to 7.4e-13
// next to its limb zone) take over: over the mpmath reference of every law, 7.3e-14 at worst at
// rtol 1e-13, and the same at 1e-14 and 1e-15, whatever the quadrature's estimates say. A smaller
// rtol is served at kFinestTolerance and every separation that needed more than the kernel itself
// is reported as not reaching it.
inline constexpr double kFinestTolerance = 1e-13;
ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out);

// What a call cost, for benchmarks and tests: separations served by the far-field series, by the
// interpolant and by the quadrature, and the uniform-disk evaluations of each kind (the
// interpolant's own, building it, apart).
struct ProfileCounts {
    std::size_t series = 0, interpolated = 0, quadrature = 0;
    std::size_t tabulated = 0;  // served from the bases' tables (models/engine/profile_table.hpp)
    std::size_t interpolant_pieces = 0, interpolant_nodes = 0;
    std::size_t disk_evaluations_interpolant = 0;  // building it
    std::size_t disk_evaluations_interpolated = 0;  // using it (the uniform disk's share)
    std::size_t disk_evaluations_quadrature = 0;
};

// The same, counting into *counts.
ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho,
                                    const BrightnessLaw& law, double rtol, double* out, ProfileCounts* counts);

// The same with the separations and radii read through broadcasts (models/array_view.hpp): rho of
// size 1 or u.size(); a rho of one value for every element is served as one source, and so is
// each run of one radius among many (rho[i] equal for at least interpolant_nodes(rtol) separations
// in a row, within a block of kProfileBlock) where the law has an interpolant or is the uniform
// disk. The call's own memory does not grow with the number of separations. counts may be null.
ProfileReport profile_magnification(const ArrayView& u, const ArrayView& rho, const BrightnessLaw& law, double rtol,
                                    double* out, ProfileCounts* counts);

// Separations served together: a call's own memory is a few bytes times this, whatever the
// number of separations, and its thread asks whether to stop between blocks.
inline constexpr std::size_t kProfileBlock = std::size_t{1} << 16;

// The law prepared and its route plan at one tolerance: what the calls of a batch share, read
// only, made once on the calling thread.
class ProfileSetup {
public:
    ProfileSetup(const BrightnessLaw& law, double rtol) : law_(prepare_law(law)), plan_(law_, rtol) {}
    ProfileSetup(const ProfileSetup&) = delete;
    ProfileSetup& operator=(const ProfileSetup&) = delete;

    const PreparedLaw& law() const { return law_; }
    const RoutePlan& plan() const { return plan_; }

private:
    PreparedLaw law_;
    RoutePlan plan_;
};

// The same call on a setup, with its memory from `memory`: for the calls of a batch that run as
// whole tasks on the pool (models/engine/profile_events.hpp). Run in a map's element, it asks no
// caller hook and throws nothing when that map stops: it returns, its results incomplete. With
// contiguous u, one radius and at most kProfileBlock separations, it takes at most
// profile_scratch_bytes(u.size()) from `memory`.
ProfileReport profile_magnification(const ProfileSetup& setup, const ArrayView& u, const ArrayView& rho, double* out,
                                    ProfileCounts* counts, std::pmr::memory_resource* memory);
std::size_t profile_scratch_bytes(std::size_t separations);

}  // namespace mirvanta::models
