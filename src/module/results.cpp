#include "module/results.hpp"

#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

[[noreturn]] void creation_failed(const char* what) {
    PyErr_WriteUnraisable(nullptr);
    throw Panic(what);
}

template <class Item, class Convert>
PyObject* to_list(const std::vector<Item>& items, Convert convert) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) creation_failed("could not create the result list");
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]));
    }
    return list.release();
}

}  // namespace

PyObject* to_python(double value) {
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr) creation_failed("could not create a result float");
    return number;
}

PyObject* to_python(const std::vector<double>& values) {
    return to_list(values, [](double value) { return to_python(value); });
}

PyObject* to_python(const std::vector<std::vector<double>>& rows) {
    return to_list(rows, [](const std::vector<double>& row) { return to_python(row); });
}

}  // namespace mirvanta::module
