#include "module/errors.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>

#include "module/process_cache.hpp"
#include "module/py_ref.hpp"
#include "common/allocation_failure.hpp"
#include "common/interruption.hpp"

namespace mirvanta::module {
namespace {

constexpr const char* kGenericPanic = "mirvanta: internal failure without a message";
constexpr const char* kOutOfMemory = "out of memory: an allocation of the computation failed";
constexpr const char* kInterruptedWithoutException =
    "a computation was interrupted, but no Python exception is set to say why";
constexpr const char* kForkedDuringMap =
    "mirvanta: this process was forked during the call, by code that the call ran (a signal handler or a "
    "garbage-collector callback), while the worker pool computed it; the call cannot be finished in the "
    "child process: call the function again there";

[[noreturn]] void abort_on_second_failure() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// The source path is relative to the project root ("src/models/source_radii/flux_map.cpp"): the build maps
// the checkout's own path away (-fmacro-prefix-map in CMakeLists.txt).
void report(const Panic& panic) {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        std::strcpy(name, "<unnamed>");
    }
    const std::source_location& where = panic.where();
    std::fprintf(stderr,
                 "thread '%s' panicked at %s:%u:%u:\n%s\n"
                 "note: run Python under gdb with `catch throw` to stop where the failure is raised "
                 "and print a backtrace\n",
                 name, where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), panic.what());
    std::fflush(stderr);
}

// str(exc) of an exception object, or a placeholder when even that fails.
std::string describe(PyObject* exc) {
    std::string text = Py_TYPE(exc)->tp_name;
    PyRef str(PyObject_Str(exc));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return text;
    }
    if (*utf8 != '\0') text.append(": ").append(utf8);
    return text;
}

}  // namespace

std::string deferred_error_text(const models::DeferredError& error) {
    std::string text = error.message;
    if (error.index == models::DeferredError::kNoIndex) return text;
    const std::string_view mark = models::DeferredError::kIndexMark;
    const std::size_t at = text.find(mark);
    const std::string index = std::to_string(error.index);
    if (at == std::string::npos) return text.append(" (index ").append(index).append(")");
    return text.replace(at, mark.size(), index);
}

PyObject* raise_deferred(const models::DeferredError& error) {
    PyObject* type = PyExc_RuntimeError;
    switch (error.kind) {
        case models::ErrorKind::runtime_error:
            type = PyExc_RuntimeError;
            break;
        case models::ErrorKind::value_error:
            type = PyExc_ValueError;
            break;
    }
    // The elliptic integrals' texts carry no index: set as they are, without a copy.
    if (error.index == models::DeferredError::kNoIndex) {
        PyErr_SetString(type, error.message);
    } else {
        PyErr_SetString(type, deferred_error_text(error).c_str());
    }
    return nullptr;
}

PyObject* raise_panic(const Panic& panic) {
    report(panic);
    PyObject* cls = panic_exception();
    if (cls == nullptr) abort_on_second_failure();
    const char* message = panic.what()[0] != '\0' ? panic.what() : kGenericPanic;
    PyRef text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) abort_on_second_failure();
    PyErr_SetObject(cls, text.get());
    return nullptr;
}

void panic_from_python_error(const char* context, std::source_location where) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();  // any allocation failure reaches the caller as MemoryError
    }
    PyRef exc(PyErr_GetRaisedException());
    std::string message = context;
    if (exc) message.append(": ").append(describe(exc.get()));
    throw Panic(message, where);
}

std::string size_text(double bytes) {
    char text[64];
    if (bytes < 1e3) {
        std::snprintf(text, sizeof text, "%.0f bytes", bytes);
    } else {
        const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB", "ZB"};
        std::size_t unit = 0;
        double value = bytes / 1e3;
        for (; value >= 999.95 && unit + 1 < std::size(units); ++unit) value /= 1e3;
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}

std::string count_text(double count) {
    char text[400];
    std::snprintf(text, sizeof text, "%.0f", count);
    return text;
}

PyObject* raise_memory_error(const char* function, const char* what, double bytes) {
    const std::string size = size_text(bytes);
    if (function == nullptr) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate %s (%s)", what, size.c_str());
    } else {
        PyErr_Format(PyExc_MemoryError, "%s: cannot allocate %s (%s)", function, what, size.c_str());
    }
    return nullptr;
}

PyObject* explain_memory_error(const char* function, const char* what, double bytes) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyRef exc(PyErr_GetRaisedException());
    PyRef args(PyObject_GetAttrString(exc.get(), "args"));
    if (!args || !PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) != 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc.release());  // a MemoryError with its own text keeps it
        return nullptr;
    }
    return raise_memory_error(function, what, bytes);
}

PyObject* raise_current_exception(const char* function) {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;  // CPython is ending this thread: its unwinding goes on
    } catch (const Interrupted&) {
        // The hook says stop only when a signal handler raised, or a warning was raised as an
        // error, and leaves that exception set; a stop without one is a broken invariant.
        if (PyErr_Occurred() != nullptr) return nullptr;
        return raise_panic(Panic(kInterruptedWithoutException));
    } catch (const ForkedDuringMap&) {
        PyErr_SetString(PyExc_RuntimeError, kForkedDuringMap);
        return nullptr;
    } catch (const Panic& panic) {
        return raise_panic(panic);
    } catch (const AllocationFailure& failure) {
        const std::string what = std::string(failure.what_for()) + ", " + count_text(failure.count()) + " values";
        return raise_memory_error(function, what.c_str(), failure.bytes());
    } catch (const std::bad_alloc&) {
        if (function == nullptr) {
            PyErr_SetString(PyExc_MemoryError, kOutOfMemory);
        } else {
            PyErr_Format(PyExc_MemoryError, "%s: %s", function, kOutOfMemory);
        }
        return nullptr;
    } catch (const std::exception& failure) {
        return raise_panic(Panic(failure.what()));
    } catch (...) {
        return raise_panic(Panic(kGenericPanic));
    }
}

}  // namespace mirvanta::module
