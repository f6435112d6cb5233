// Conversion of model results to new Python objects. A failure of the interpreter to create a
// float or a list is an internal failure: its error is reported as unraisable, then a Panic is
// thrown.
#pragma once

#include <concepts>
#include <ranges>
#include <span>
#include <vector>

#include "models/deferred_error.hpp"
#include "module/compat.hpp"

namespace mirvanta::module {

PyObject* to_python(double value);
PyObject* to_python(std::span<const double> values);

// A list of lists, one per row.
template <class Rows>
    requires std::ranges::range<Rows> && std::convertible_to<std::ranges::range_value_t<Rows>, std::span<const double>>
PyObject* to_python(const Rows& rows);

// A model error is raised; a value is converted.
template <class T>
PyObject* to_python(const models::ModelResult<T>& result);

}  // namespace mirvanta::module

#include "module/errors.hpp"

namespace mirvanta::module {

PyObject* new_list(std::size_t size);

template <class Rows>
    requires std::ranges::range<Rows> && std::convertible_to<std::ranges::range_value_t<Rows>, std::span<const double>>
PyObject* to_python(const Rows& rows) {
    PyObject* list = new_list(std::ranges::size(rows));
    try {
        Py_ssize_t i = 0;
        for (const auto& row : rows) PyList_SET_ITEM(list, i++, to_python(std::span<const double>(row)));
    } catch (...) {
        Py_DECREF(list);
        throw;
    }
    return list;
}

template <class T>
PyObject* to_python(const models::ModelResult<T>& result) {
    if (!result) return raise_deferred(result.error());
    return to_python(result.value());
}

}  // namespace mirvanta::module
