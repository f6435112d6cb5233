// What the functions in Einstein radii share in reading their arguments and reporting their
// results: arrays and numbers with the parameter's note on failure, the checks of their values,
// the tolerance, and the warning of values that did not reach it.
#pragma once

#include <cstddef>
#include <vector>

#include "models/array_view.hpp"
#include "models/engine/light_curves.hpp"
#include "models/engine/profile.hpp"
#include "module/arrays.hpp"
#include "module/compat.hpp"

namespace mirvanta::module {

inline constexpr double kDefaultRtol = 1e-10;

// Elements a loop of the calling thread goes through between two questions to the caller hook
// (Ctrl-C): a nanosecond or a few each, well within the poll interval.
inline constexpr std::size_t kCheckStretch = std::size_t{1} << 16;

// Reads an array argument, or a number, with the parameter's note on failure.
bool read_array(PyObject* object, const char* parameter, DoubleArray& out);
bool read_float(PyObject* object, const char* parameter, double& out);

// ValueError for the first value of `array` below 0: "u must be at least 0 (...); u[2] = -0.5".
// NaN passes: it comes back as NaN.
bool check_not_negative(const DoubleArray& array, const char* parameter, const char* meaning);

// rtol (default kDefaultRtol when `object` is null), above 0 and below 1.
bool read_rtol(PyObject* object, double& rtol);

// The RuntimeWarning of values that did not reach rtol, from the engine's report of n values;
// false with the exception set (a warning raised as an error, or an exception left by code the
// call ran).
bool report_warning(const char* function, const models::ProfileReport& report, std::size_t n, double rtol);

// An argument read as the result's `shape`, where it lies.
models::ArrayView as_result(const DoubleArray& array, const Shape& shape);

// light_curve's parameters (and light_curve_and_jacobian's), in order.
inline constexpr const char* kLightCurveParameters[] = {"t", "t0", "u0", "tE", "rho", "limb", "rtol"};

// Reads and checks a light curve's arguments (t, t0, u0, tE, rho; tE finite and above 0, t0 and u0
// finite, rho not negative, each named with its first bad index), the law and rtol; rho is
// scaled to a Profile's table, by radius_factor. False with the exception set.
bool read_light_curve(PyObject* const* slots, DoubleArray (&arrays)[5], models::BrightnessLaw& law, double& rtol,
                      double& radius_factor);

// A batch of light curves: the five arguments broadcast against each other, read through their
// broadcasts, and split into events (runs of elements along which t0, u0 and tE are constant).
class LightCurveBatch {
public:
    explicit LightCurveBatch(const DoubleArray (&arrays)[5]) : arrays_(arrays) {}
    // False with the ValueError naming the first argument that does not broadcast.
    bool broadcast();
    const Shape& shape() const { return shape_; }
    bool scalar() const { return scalar_; }
    std::size_t size() const { return views_[0].size(); }
    models::Trajectories trajectories() const;

private:
    const DoubleArray (&arrays_)[5];
    Shape shape_;
    std::vector<models::ArrayView> views_;
    std::size_t length_ = 0;
    bool one_radius_ = true, scalar_ = true;
};

}  // namespace mirvanta::module
