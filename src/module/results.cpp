#include "module/results.hpp"

#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

[[noreturn]] void creation_failed(const char* what) {
    PyErr_WriteUnraisable(nullptr);
    throw Panic(what);
}

}  // namespace

PyObject* new_list(std::size_t size) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
    if (list == nullptr) creation_failed("could not create the result list");
    return list;
}

PyObject* to_python(double value) {
    PyObject* number = PyFloat_FromDouble(value);
    if (number == nullptr) creation_failed("could not create a result float");
    return number;
}

PyObject* to_python(std::span<const double> values) {
    PyRef list(new_list(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]));
    }
    return list.release();
}

}  // namespace mirvanta::module
