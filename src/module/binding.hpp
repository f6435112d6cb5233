// Binding of a vectorcall's arguments to a function's parameters. Every parameter of every
// function is positional-or-keyword and required.
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
};

// Fills slots[0..P) with borrowed arguments; on failure sets TypeError and returns false.
// Checks, first failure wins: too many positional arguments; each keyword in call order
// (unknown name, or a parameter already given); then missing parameters. Not noexcept: raising
// an error may run Python code (a collection's finalizers), where the thread may be ended, and
// the text of a missing-arguments error may fail to allocate (std::bad_alloc, which the call
// frame raises as MemoryError like any other allocation failure).
bool bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

}  // namespace mirvanta::module
