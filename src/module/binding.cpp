#include "module/binding.hpp"

#include <algorithm>
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

bool missing_arguments(const FunctionSignature& signature, Py_ssize_t nargs, PyObject* const* slots) {
    const std::size_t first = static_cast<std::size_t>(nargs);
    if (first >= signature.required) return false;
    const auto end = slots + signature.required;
    if (std::find(slots + first, end, nullptr) == end) {
        return false;  // the common case builds no text
    }
    std::string missing[kMaxParameters];
    std::size_t count = 0;
    for (std::size_t i = first; i < signature.required; ++i) {
        if (slots[i] == nullptr) missing[count++] = signature.parameters[i];
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", signature.name,
                 count, count == 1 ? "" : "s", quoted_list(missing, count).c_str());
    return true;
}

// The index of the parameter named by `key`, or -1.
Py_ssize_t parameter_index(const FunctionSignature& signature, PyObject* key) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {  // not encodable (a lone surrogate): it names no parameter
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const char* name = signature.parameters[i];
        if (std::strlen(name) == static_cast<std::size_t>(length) && std::memcmp(name, utf8, length) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(signature.positional);
    for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = args[i];
    if (nargs > count) {
        const auto least = static_cast<Py_ssize_t>(std::min(signature.required, signature.positional));
        if (least == count) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", signature.name,
                         count, count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                         signature.name, least, count, nargs, nargs == 1 ? "was" : "were");
        }
        return false;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t i = parameter_index(signature, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.name, key);
            return false;
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name,
                         signature.parameters[i]);
            return false;
        }
        slots[i] = args[nargs + k];
    }
    return !missing_arguments(signature, nargs, slots);
}

}  // namespace mirvanta::module
