// Light curves of a point lens passing a source on a straight line, many events in one call: the
// separation u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) Einstein radii at each time, and the profile
// engine's magnification there, each event a call of the engine of its own on the worker pool
// (models/engine/profile_events.hpp).
#pragma once

#include <cstddef>

#include "models/array_view.hpp"
#include "models/engine/brightness_law.hpp"
#include "models/engine/profile.hpp"

namespace mirvanta::models {

// The arguments read through their broadcasts to the result's shape (all of its size), and how
// the result splits into events: runs of `event_length` elements (in C order) along which t0, u0
// and tE are constant, the trailing axes over which none of them varies; rho is constant over
// each event too when `one_radius`, else read per element (each event then served run by run of
// one radius, models/engine/profile.hpp). Validated by the caller: tE finite and above 0, t0 and
// u0 finite, rho >= 0 or NaN.
struct Trajectories {
    const ArrayView& t;
    const ArrayView& t0;
    const ArrayView& u0;
    const ArrayView& t_e;
    const ArrayView& rho;
    std::size_t event_length;
    bool one_radius;
};

// out[i] = the magnification at t[i], to rtol; each event's values are those of the call with that
// event alone, to the bit. `out` has t.size() elements.
ProfileReport light_curves(const Trajectories& trajectories, const BrightnessLaw& law, double rtol, double* out,
                           ProfileCounts* counts);

}  // namespace mirvanta::models
