// Conversion of model results to new Python objects. Each returns a new reference, or null with
// the interpreter's exception set: creating a float or a list fails only for want of memory, so
// the caller sees that MemoryError, and a partly built result is released.
#pragma once

#include <cstddef>
#include <span>

#include "models/deferred_error.hpp"
#include "models/source_radii/magnification_grid.hpp"
#include "module/compat.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {

PyObject* to_python(double value);
PyObject* to_python(std::span<const double> values);

// A new list of `size` empty slots, to be filled with PyList_SET_ITEM; empty slots are null,
// which the list's deallocation allows.
PyObject* new_list(std::size_t size);

// A list of lists, one per row.
PyObject* to_python(const models::MagnificationGrid& grid);

// A model error is raised; a value is converted.
template <class T>
PyObject* to_python(const models::ModelResult<T>& result) {
    if (!result) return raise_deferred(result.error());
    return to_python(result.value());
}

}  // namespace mirvanta::module
