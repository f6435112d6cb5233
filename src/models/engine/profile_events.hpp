// Many sources in one call of the profile engine: events (a light curve each), each with its
// separations and one source radius, one law and tolerance for all. Each event is a call of the
// engine of its own (models/engine/profile.hpp), with its own interpolant, so that its values are
// those of that call alone, to the bit; the events run as whole tasks on the worker pool, a map
// over them whose elements run the engine, whose own maps then nest.
//
// The workers allocate nothing (parallel/thread_pool.hpp): an event's memory comes from scratch
// that the calling thread allocates before the map, one piece for each thread that may run an
// event at a time, each large enough for one event (profile_scratch_bytes). Events of more than
// kProfileBlock separations are big enough for the pool on their own, and events of many radii
// (a radius per separation, served run by run) need memory that grows with their runs: such
// events run one after another on the calling thread, each on the pool by its own maps.
#pragma once

#include <cstddef>

#include "models/engine/brightness_law.hpp"
#include "models/engine/profile.hpp"

namespace mirvanta::models {

class ProfileEvents {
public:
    virtual std::size_t count() const = 0;   // events
    virtual std::size_t length() const = 0;  // separations of each event
    // Writes event e's separations into u[0, length()) and returns its source radius (when
    // one_radius()). Runs on any thread of the pool: it allocates nothing and asks no caller hook.
    virtual double separations(std::size_t event, double* u) const = 0;
    // Whether each event has one source radius; else radii(e) gives one per separation (called on
    // the calling thread only).
    virtual bool one_radius() const { return true; }
    virtual ArrayView radii(std::size_t /*event*/) const { return ArrayView(std::span<const double>()); }

protected:
    ~ProfileEvents() = default;
};

// out[e * length() + i] = the magnification at separation i of event e, to rtol, as
// profile_magnification gives it for that event alone; the report's first index counts from out.
// Polls the caller's hook as a map does; a stop throws Interrupted on the calling thread.
ProfileReport profile_events(const ProfileEvents& events, const BrightnessLaw& law, double rtol, double* out,
                             ProfileCounts* counts);

}  // namespace mirvanta::models
