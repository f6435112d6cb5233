// Conversion of bound arguments to doubles and vectors of doubles. Every function here may run
// Python code (__float__, __iter__, add_note), so none is noexcept.
#pragma once

#include <vector>

#include "module/compat.hpp"

namespace mirvanta::module {

// A Python number as a double: an exact float is read directly, anything else goes through
// PyFloat_AsDouble (int, bool, __float__, __index__) once module/real_numbers.hpp has found it a
// real number (complex, datetime64, timedelta64, str and bytes values of NumPy, and masked arrays
// are refused; `parameter`, when given, is named in the text of a masked array's refusal). False
// with the exception set on failure.
bool to_double(PyObject* object, double& out, const char* parameter = nullptr);

// Any Python sequence other than str, read by iteration, each item converted by to_double. An
// array whose dtype holds no real numbers, or a masked array, is refused before any item is read.
// False with the exception set on failure. May throw std::bad_alloc, and Interrupted when the
// installed caller hook (common/interruption.hpp), asked every few thousand items, says stop.
bool to_float_sequence(PyObject* object, std::vector<double>& out, const char* parameter = nullptr);

// Adds the note "while processing '<parameter>'" to the pending exception, when possible.
void add_parameter_note(const char* parameter);

}  // namespace mirvanta::module
