// What the functions in Einstein radii share in reading their arguments and reporting their
// results: arrays and numbers with the parameter's note on failure, the checks of their values,
// the tolerance, and the warning of values that did not reach it.
#pragma once

#include <cstddef>

#include "models/array_view.hpp"
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

}  // namespace mirvanta::module
