// An owned (strong) reference to a Python object, released when it goes out of scope.
//
// Releasing a reference may run Python code (a __del__), and CPython may end a thread inside
// Python code (below), so neither the destructor nor the assignment is noexcept: that thread's
// unwinding must be able to pass through them.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include "module/compat.hpp"

namespace mirvanta::module {

// Whether this thread may release references now. While the interpreter finalizes, any thread
// but the main one that is still inside a call is a daemon thread that CPython (3.11 to 3.13)
// ends with pthread_exit when it asks for the interpreter lock; it unwinds without that lock,
// so its references are left to the end of the process instead of being released.
inline bool may_release_references() noexcept {
    return !Py_IsFinalizing() || syscall(SYS_gettid) == getpid();  // the main thread's id is the process's
}

class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}  // steals `owned`, may be null
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) {
        PyObject* old = object_;
        object_ = other.release();
        if (old != nullptr && may_release_references()) Py_DECREF(old);
        return *this;
    }
    ~PyRef() noexcept(false) {
        if (object_ != nullptr && may_release_references()) Py_DECREF(object_);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference over to the caller.
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace mirvanta::module
