#include "module/results.hpp"

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

}  // namespace mirvanta::module
