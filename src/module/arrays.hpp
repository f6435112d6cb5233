// Array arguments and results of the functions in Einstein radii: a number or an array of
// numbers in, a float or a NumPy array of the broadcast shape out, as NumPy's own functions do.
//
// An argument is read where it lies when it already is a buffer of native doubles in C order (a
// float64 NumPy array, an array.array of 'd'); anything else array-like goes through
// numpy.asarray(argument, dtype=float, order="C") once. Results are new float64 arrays, written in
// place by the computation. NumPy is imported at the first array argument, not before, so that
// the module's other functions work without it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "models/array_view.hpp"
#include "module/compat.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {

using Shape = std::vector<Py_ssize_t>;

class DoubleArray {
public:
    DoubleArray() = default;
    DoubleArray(const DoubleArray&) = delete;
    DoubleArray& operator=(const DoubleArray&) = delete;
    ~DoubleArray();

    // Reads `object`: a real number (an int, a float, a NumPy scalar or a 0-d array) is a scalar,
    // anything else an array of any shape. A str, bytes, a memoryview of bytes or None is refused
    // with TypeError, and so is anything whose values are not real numbers
    // (module/real_numbers.hpp): a masked array (its text names `parameter`), complex,
    // datetime64, timedelta64, str, bytes and void arrays, object arrays holding str, bytes or
    // complex. False with the exception set (without the parameter's note).
    bool read(PyObject* object, const char* parameter);

    // Multiplies the values by `factor` (in a copy of them, when it is not 1). Throws
    // AllocationFailure for `what_for` (static text) when the copy cannot be had.
    void scale(double factor, const char* what_for);

    bool scalar() const noexcept { return scalar_; }
    const Shape& shape() const noexcept { return shape_; }
    // The values in C order: one for a scalar.
    std::span<const double> values() const noexcept { return {data_, size_}; }

private:
    bool read_buffer(PyObject* object, bool& taken);

    PyRef owner_;  // the object whose buffer is held, when it is not the argument itself
    Py_buffer view_{};
    bool held_ = false;
    bool scalar_ = false;
    double value_ = 0.0;
    Shape shape_;
    const double* data_ = &value_;
    std::size_t size_ = 1;
    std::vector<double> scaled_;  // the values scaled, when they are
};

// The shape that `a` and `b` broadcast to, as NumPy broadcasts; false when they do not.
bool broadcast_shapes(const Shape& a, const Shape& b, Shape& out);

// `values` of shape `from` read as the broadcast shape `to` (which `from` broadcasts to), where
// they lie: strides of 0 along the axes they are repeated over.
models::ArrayView broadcast_view(std::span<const double> values, const Shape& from, const Shape& to);

// "(3, 4)", as NumPy writes a shape; "()" for a scalar.
std::string shape_text(const Shape& shape);

// "[2, 3]": the index of the element at flat position `flat` in C order; "" for a scalar.
std::string index_text(const Shape& shape, std::size_t flat);

// A new float64 NumPy array of `shape` and a writable pointer to its C-ordered data; null with
// the exception set on failure. For want of memory, MemoryError "<function>: cannot allocate the
// result of shape (100000, 100000) (80.0 GB)".
class NewArray {
public:
    NewArray() = default;
    NewArray(const NewArray&) = delete;
    NewArray& operator=(const NewArray&) = delete;
    ~NewArray();

    bool make(const Shape& shape, const char* function);
    double* data() const noexcept { return data_; }
    PyObject* release();  // the new array (a new reference)

private:
    PyRef array_;
    Py_buffer view_{};
    bool held_ = false;
    double* data_ = nullptr;
};

}  // namespace mirvanta::module
