// Conversion of bound arguments to doubles and vectors of doubles. Every function here may run
// Python code (__float__, __iter__, add_note), so none is noexcept.
#pragma once

#include <vector>

#include "module/compat.hpp"

namespace mirvanta::module {

// A Python number as a double: an exact float is read directly, anything else goes through
// PyFloat_AsDouble (int, bool, __float__, __index__). False with the exception set on failure.
bool to_double(PyObject* object, double& out);

// Any Python sequence other than str, read by iteration, each item converted by to_double.
// False with the exception set on failure. May throw std::bad_alloc.
bool to_float_sequence(PyObject* object, std::vector<double>& out);

// Adds the note "while processing '<parameter>'" to the pending exception, when possible.
void add_parameter_note(const char* parameter);

}  // namespace mirvanta::module
