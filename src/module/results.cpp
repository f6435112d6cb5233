#include "module/results.hpp"

#include <string>

#include "module/py_ref.hpp"

namespace mirvanta::module {

PyObject* new_list(std::size_t size) { return PyList_New(static_cast<Py_ssize_t>(size)); }

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::span<const double> values) {
    PyRef list(new_list(values.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* number = to_python(values[i]);
        if (number == nullptr) return nullptr;  // the partial list goes with `list`
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
}

PyObject* to_python(const models::MagnificationGrid& grid) {
    PyRef list(new_list(grid.size()));
    if (!list) return nullptr;
    for (std::size_t row = 0; row < grid.size(); ++row) {
        PyObject* converted = to_python(grid[row]);
        if (converted == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), converted);
    }
    return list.release();
}

ResultSize result_size(const models::MagnificationGrid& grid) {
    return {static_cast<double>(grid.size()) * static_cast<double>(grid.row_length()),
            static_cast<double>(grid.size()) + 1.0};
}

PyObject* explain_result_memory_error(const char* function, ResultSize size) {
    // A float object and a list's pointer to it: 32 bytes on 64-bit CPython; a list's header: 56.
    const double bytes = size.floats * 32.0 + size.lists * 56.0;
    std::string what = "the result, ";
    if (size.lists == 0.0) {
        what += "a float";
    } else if (size.lists == 1.0) {
        what += "a list of " + count_text(size.floats) + " floats";
    } else {
        what += count_text(size.lists) + " lists of " + count_text(size.floats) + " floats in all";
    }
    return explain_memory_error(function, what.c_str(), bytes);
}

}  // namespace mirvanta::module
