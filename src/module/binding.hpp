// Binding of a vectorcall's arguments to a function's parameters. The first `positional`
// parameters may be given by position or keyword, the rest by keyword only; the first `required`
// of them must be given, the others are optional (their slots stay empty when they are not).
// The eight uniform-disk, ring and map functions take only required positional-or-keyword
// parameters.
#pragma once

#include <span>

#include "module/compat.hpp"

namespace mirvanta::module {

// No function takes more parameters than this.
inline constexpr std::size_t kMaxParameters = 8;

// What a Python function is called and which parameters it takes.
struct FunctionSignature {
    const char* name;                         // the Python name, e.g. "witt_mao_magnification"
    std::span<const char* const> parameters;  // names in declaration order
    std::size_t required = parameters.size();    // parameters[0..required) must be given
    std::size_t positional = parameters.size();  // parameters[positional..) are keyword-only
};

// Fills slots[0..P) with borrowed arguments (optional parameters not given stay null); on failure
// sets TypeError and returns false. Checks, first failure wins: too many positional arguments;
// each keyword in call order (unknown name, or a parameter already given); then missing required
// parameters. Not noexcept: raising
// an error may run Python code (a collection's finalizers), where the thread may be ended, and
// the text of a missing-arguments error may fail to allocate (std::bad_alloc, which the call
// frame raises as MemoryError like any other allocation failure).
bool bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

}  // namespace mirvanta::module
