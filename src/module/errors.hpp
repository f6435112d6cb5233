// The module's error policy at the Python boundary:
//
// - binding and conversion failures are Python exceptions set where they happen (TypeError, or
//   the converter's own), with a note naming the parameter;
// - a model's DeferredError becomes its Python exception type with its message (the static text,
//   with the index of the argument's item it names written in);
// - an internal failure (a Panic, thrown anywhere below) is reported on stderr and raised as
//   PanicException; a second failure while raising it aborts the process;
// - every allocation failure, in C++ or in the interpreter, becomes MemoryError;
// - a computation stopped because a signal handler raised (Interrupted) leaves that
//   handler's exception to be raised; stopped with no exception set, it is an internal failure;
// - in a child forked by a signal handler or a collector callback that the call ran while the
//   workers computed it (ForkedDuringMap), the call raises RuntimeError.
//
// A thread that CPython ends inside Python code (a daemon thread asking for the interpreter lock
// while the interpreter finalizes; pthread_exit on 3.11 to 3.13) unwinds through the module's
// frames by a forced unwind. So every catch-all first rethrows abi::__forced_unwind, no function
// that can run Python code is noexcept, and that unwinding releases no references (py_ref.hpp).
#pragma once

#include <cxxabi.h>

#include <source_location>
#include <string>

#include "models/deferred_error.hpp"
#include "module/compat.hpp"
#include "common/panic.hpp"

namespace mirvanta::module {

// The message of a model error as Python sees it: its static text, with its index (when it has
// one) written in place of DeferredError::kIndexMark, or after the text when that holds no mark.
std::string deferred_error_text(const models::DeferredError& error);

// Sets the Python exception of a model error: RuntimeError or ValueError, with the message above
// as its one argument. Always returns null.
PyObject* raise_deferred(const models::DeferredError& error);

// Reports `panic` on stderr and sets PanicException. Always returns null.
PyObject* raise_panic(const Panic& panic);

// Turns the pending Python exception into a Panic whose message is `context`, ": " and a
// description of that exception; a pending MemoryError becomes std::bad_alloc instead.
[[noreturn]] void panic_from_python_error(const char* context,
                                          std::source_location where = std::source_location::current());

// Sets the Python exception for whatever C++ exception is being handled. Always returns null.
// Call only from a catch block; a forced unwind is rethrown, and an interrupted computation
// leaves the signal handler's exception as it is. This is the one place where C++ failures
// become Python exceptions. An allocation failure becomes MemoryError with a text that starts
// with `function` (when given) and says what could not be had, and its size when it is known
// (an AllocationFailure).
PyObject* raise_current_exception(const char* function = nullptr);

// "80.0 GB": a size in bytes, in decimal units ("512 bytes", "3.2 kB", "240.0 MB", "80.0 GB").
std::string size_text(double bytes);

// "30000000": a count that may exceed any size_t, as a whole number.
std::string count_text(double count);

// Sets MemoryError "<function>: cannot allocate <what> (<size>)", without "<function>: " when
// `function` is null. Always returns null.
PyObject* raise_memory_error(const char* function, const char* what, double bytes);

// When the pending exception is a MemoryError without a text (the interpreter's own, from an
// allocation that failed), replaces it by raise_memory_error(function, what, bytes); any other
// exception stays as it is. Always returns null.
PyObject* explain_memory_error(const char* function, const char* what, double bytes);

}  // namespace mirvanta::module
