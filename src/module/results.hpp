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

// A list of `values`. The floats of `made`, when given (new references that no Python code has
// seen, no more than the values), hold the first values: each is taken over, its entry set to
// null, and given its value. A long list asks the installed caller hook (common/interruption.hpp)
// whether to stop every few thousand floats and throws Interrupted when it says so, after
// releasing the part made.
PyObject* to_python(std::span<const double> values, std::span<PyObject*> made);
inline PyObject* to_python(std::span<const double> values) { return to_python(values, {}); }

// A new list of `size` empty slots, to be filled with PyList_SET_ITEM; empty slots are null,
// which the list's deallocation allows.
PyObject* new_list(std::size_t size);

// A list of lists, one per row; stopped as the lists of floats are.
PyObject* to_python(const models::MagnificationGrid& grid);

// A model error is raised; a value is converted.
template <class T>
PyObject* to_python(const models::ModelResult<T>& result) {
    if (!result) return raise_deferred(result.error());
    return to_python(result.value());
}

// How large the Python result of a value is: its floats and the lists that hold them.
struct ResultSize {
    double floats = 1.0;
    double lists = 0.0;
};

inline ResultSize result_size(double) { return {}; }
inline ResultSize result_size(std::span<const double> values) { return {static_cast<double>(values.size()), 1.0}; }
ResultSize result_size(const models::MagnificationGrid& grid);
template <class T>
ResultSize result_size(const models::ModelResult<T>& result) {
    return result ? result_size(result.value()) : ResultSize{0.0, 0.0};
}

// When converting a result of `size` failed for want of memory (a MemoryError without a text is
// pending), says so: "<function>: cannot allocate the result, a list of 30000000 floats (960.0 MB)".
// Always returns null.
PyObject* explain_result_memory_error(const char* function, ResultSize size);

}  // namespace mirvanta::module
