#include "module/arrays.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/allocation_failure.hpp"
#include "module/conversion.hpp"
#include "module/errors.hpp"
#include "module/process_cache.hpp"
#include "module/real_numbers.hpp"

namespace mirvanta::module {
namespace {

PyObject* import_numpy() { return PyImport_ImportModule("numpy"); }

ProcessCache numpy_cache{import_numpy};

// numpy, imported at first need; null with the ImportError set, which says what needs it.
PyObject* numpy() {
    PyObject* module = numpy_cache.get();
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyRef exc(PyErr_GetRaisedException());
        PyRef note(PyUnicode_FromString(
            "mirvanta needs NumPy for array arguments and results of magnification, point_source_magnification "
            "and light_curve (pip install numpy)"));
        if (note) {
            PyRef done(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
            if (!done) PyErr_Clear();
        }
        PyErr_SetRaisedException(exc.release());
    }
    return module;
}

bool native_double_format(const char* format) {
    const std::string_view text = format != nullptr ? format : "B";
    return text == "d" || text == "=d" || text == "@d" || (text == "<d" && std::endian::native == std::endian::little);
}

bool is_exact_ndarray(PyObject* object) { return std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") == 0; }

}  // namespace

DoubleArray::~DoubleArray() {
    if (held_) PyBuffer_Release(&view_);
}

bool DoubleArray::read_buffer(PyObject* object, bool& taken) {
    taken = false;
    if (!PyObject_CheckBuffer(object)) return true;
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();  // not contiguous (or not readable so): converted instead
        return true;
    }
    if (!native_double_format(view_.format) || view_.itemsize != sizeof(double)) {
        PyBuffer_Release(&view_);
        return true;
    }
    held_ = true;
    taken = true;
    if (view_.ndim == 0) {
        std::memcpy(&value_, view_.buf, sizeof value_);
        scalar_ = true;
        return true;
    }
    shape_.assign(view_.shape, view_.shape + view_.ndim);
    size_ = static_cast<std::size_t>(view_.len) / sizeof(double);
    data_ = static_cast<const double*>(view_.buf);
    return true;
}

bool DoubleArray::read(PyObject* object, const char* parameter) {
    constexpr const char* kExpected = "expected a real number or an array of real numbers";
    if (PyFloat_Check(object) || PyLong_Check(object)) {
        scalar_ = true;
        return to_double(object, value_);
    }
    if (object == Py_None || PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s, not '%.200s'", kExpected, Py_TYPE(object)->tp_name);
        return false;
    }
    if (refuse_bytes_buffer(object, kExpected)) return false;
    // An exact ndarray is never masked; anything else is asked first (a masked array's buffer is
    // its data, mask or not).
    if (!is_exact_ndarray(object)) {
        const DtypeKind kind = dtype_kind(object, kExpected, parameter);
        if (kind == DtypeKind::refused || kind == DtypeKind::failed) return false;
    }
    bool taken = false;
    if (!read_buffer(object, taken)) return false;
    if (taken) return true;
    PyObject* np = numpy();
    if (np == nullptr) return false;
    // What NumPy makes of the argument as it is, checked, then as doubles: a cast straight to
    // float would parse str and bytes, and take the counts of dates and the real part of complex.
    PyRef found(PyObject_CallMethod(np, "asarray", "(O)", object));
    if (!found) return false;
    switch (dtype_kind(found.get(), kExpected, parameter)) {
        case DtypeKind::objects:
            if (!check_object_items(found.get(), parameter)) return false;
            break;
        case DtypeKind::refused:
        case DtypeKind::failed:
            return false;
        default:
            break;
    }
    if (!read_buffer(found.get(), taken)) return false;
    if (taken) {  // already doubles in C order
        owner_ = std::move(found);
        return true;
    }
    PyRef convert(PyObject_GetAttrString(np, "asarray"));
    PyRef positional(convert ? PyTuple_Pack(1, found.get()) : nullptr);
    PyRef keywords(positional ? Py_BuildValue("{s:s,s:s}", "dtype", "float64", "order", "C") : nullptr);
    if (!keywords) return false;
    owner_ = PyRef(PyObject_Call(convert.get(), positional.get(), keywords.get()));
    if (!owner_) return false;
    if (!read_buffer(owner_.get(), taken)) return false;
    if (!taken) {
        PyErr_SetString(PyExc_TypeError, "the argument did not convert to an array of doubles");
        return false;
    }
    return true;
}

void DoubleArray::scale(double factor, const char* what_for) {
    if (factor == 1.0) return;
    try {
        scaled_.assign(data_, data_ + size_);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(what_for, static_cast<double>(size_), sizeof(double));
    }
    for (double& value : scaled_) value *= factor;
    data_ = scaled_.data();
}

bool broadcast_shapes(const Shape& a, const Shape& b, Shape& out) {
    const std::size_t n = std::max(a.size(), b.size());
    out.assign(n, 1);
    for (std::size_t i = 0; i < n; ++i) {  // from the last axis
        const Py_ssize_t x = i < a.size() ? a[a.size() - 1 - i] : 1;
        const Py_ssize_t y = i < b.size() ? b[b.size() - 1 - i] : 1;
        if (x != y && x != 1 && y != 1) return false;
        out[n - 1 - i] = x == 1 ? y : x;
    }
    return true;
}

models::ArrayView broadcast_view(std::span<const double> values, const Shape& from, const Shape& to) {
    // Strides of `from` in elements, aligned to the last axes of `to`; 0 along broadcast axes.
    const std::size_t n = to.size();
    std::vector<std::size_t> extents(n), strides(n, 0);
    std::size_t stride = 1;
    for (std::size_t i = 0; i < from.size(); ++i) {
        const std::size_t axis = from.size() - 1 - i;
        if (from[axis] != 1) strides[n - 1 - i] = stride;
        stride *= static_cast<std::size_t>(from[axis]);
    }
    for (std::size_t axis = 0; axis < n; ++axis) extents[axis] = static_cast<std::size_t>(to[axis]);
    return models::ArrayView(values.data(), std::move(extents), std::move(strides));
}

std::string shape_text(const Shape& shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

std::string index_text(const Shape& shape, std::size_t flat) {
    if (shape.empty()) return "";
    std::vector<std::size_t> index(shape.size());
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        const auto extent = static_cast<std::size_t>(shape[axis]);
        index[axis] = flat % extent;
        flat /= extent;
    }
    std::string text = "[";
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(index[i]);
    }
    return text + "]";
}

NewArray::~NewArray() {
    if (held_) PyBuffer_Release(&view_);
}

bool NewArray::make(const Shape& shape, const char* function) {
    PyObject* np = numpy();
    if (np == nullptr) return false;
    PyRef dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyObject* extent = PyLong_FromSsize_t(shape[i]);
        if (extent == nullptr) return false;
        PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(i), extent);
    }
    array_ = PyRef(PyObject_CallMethod(np, "empty", "(O)", dims.get()));
    if (!array_) {
        // NumPy's own text names neither the function nor the result: say both.
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        double bytes = sizeof(double);
        for (const Py_ssize_t extent : shape) bytes *= static_cast<double>(extent);
        PyErr_Clear();
        const std::string what = "the result of shape " + shape_text(shape);
        raise_memory_error(function, what.c_str(), bytes);
        return false;
    }
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) < 0) return false;
    held_ = true;
    if (!native_double_format(view_.format)) {
        PyErr_SetString(PyExc_TypeError, "numpy.empty did not make an array of doubles");
        return false;
    }
    data_ = static_cast<double*>(view_.buf);
    return true;
}

PyObject* NewArray::release() {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
    return array_.release();
}

}  // namespace mirvanta::module
