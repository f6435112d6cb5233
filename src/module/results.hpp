// Conversion of model results to new Python objects. A failure of the interpreter to create a
// float or a list is an internal failure: its error is reported as unraisable, then a Panic is
// thrown.
#pragma once

#include <vector>

#include "models/deferred_error.hpp"
#include "module/compat.hpp"

namespace mirvanta::module {

PyObject* to_python(double value);
PyObject* to_python(const std::vector<double>& values);
PyObject* to_python(const std::vector<std::vector<double>>& rows);

// A model error is raised; a value is converted.
template <class T>
PyObject* to_python(const models::ModelResult<T>& result);

}  // namespace mirvanta::module

#include "module/errors.hpp"

namespace mirvanta::module {

template <class T>
PyObject* to_python(const models::ModelResult<T>& result) {
    if (!result) return raise_deferred(result.error());
    return to_python(result.value());
}

}  // namespace mirvanta::module
