#include "module/binding.hpp"

#include <cstring>
#include <string>

namespace mirvanta::module {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::string* names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text += '\'' + names[i] + '\'';
    }
    return text;
}

bool missing_arguments(const FunctionSpec& spec, Py_ssize_t nargs, PyObject* const* slots) {
    std::string missing[kMaxParameters];
    std::size_t count = 0;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.parameters.size(); ++i) {
        if (slots[i] == nullptr) missing[count++] = spec.parameters[i];
    }
    if (count == 0) return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", spec.name, count,
                 count == 1 ? "" : "s", quoted_list(missing, count).c_str());
    return true;
}

// The index of the parameter named by `key`, or -1.
Py_ssize_t parameter_index(const FunctionSpec& spec, PyObject* key) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {  // not encodable (a lone surrogate): it names no parameter
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
        const char* name = spec.parameters[i];
        if (std::strlen(name) == static_cast<std::size_t>(length) && std::memcmp(name, utf8, length) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    try {
        const auto count = static_cast<Py_ssize_t>(spec.parameters.size());
        for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = args[i];
        if (nargs > count) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", spec.name, count,
                         nargs, nargs == 1 ? "was" : "were");
            return false;
        }
        const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = parameter_index(spec, key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", spec.name, key);
                return false;
            }
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.name,
                             spec.parameters[i]);
                return false;
            }
            slots[i] = args[nargs + k];
        }
        return !missing_arguments(spec, nargs, slots);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace mirvanta::module
