// The module's error policy at the Python boundary:
//
// - binding and conversion failures are Python exceptions set where they happen (TypeError, or
//   the converter's own), with a note naming the parameter;
// - a model's DeferredError becomes its Python exception type with the static message;
// - an internal failure (a Panic, thrown anywhere below) is reported on stderr and raised as
//   PanicException; a second failure while raising it aborts the process;
// - a C++ allocation failure becomes MemoryError.
#pragma once

#include <source_location>

#include "models/deferred_error.hpp"
#include "module/compat.hpp"
#include "parallel/panic.hpp"

namespace mirvanta::module {

// Sets the Python exception of a model error. Always returns null.
PyObject* raise_deferred(const models::DeferredError& error) noexcept;

// Reports `panic` on stderr and sets PanicException. Always returns null.
PyObject* raise_panic(const Panic& panic) noexcept;

// Turns the pending Python exception into a Panic whose message is `context`, ": " and a
// description of that exception.
[[noreturn]] void panic_from_python_error(const char* context,
                                          std::source_location where = std::source_location::current());

// Sets the Python exception for whatever C++ exception is being handled. Always returns null.
// Call only from a catch block.
PyObject* raise_current_exception() noexcept;

}  // namespace mirvanta::module
