// An owned (strong) reference to a Python object, released when it goes out of scope.
#pragma once

#include "module/compat.hpp"

namespace mirvanta::module {

class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}  // steals `owned`, may be null
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = object_;
        object_ = other.release();
        Py_XDECREF(old);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

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
