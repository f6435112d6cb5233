#include "module/result_list_ahead.hpp"

#include <algorithm>
#include <string>

#include "module/results.hpp"
#include "common/panic.hpp"

namespace mirvanta::module {
namespace {

// Floats made per slice: about a hundred microseconds of work, well under the poll interval (the
// poll promise, common/interruption.hpp).
constexpr std::size_t kSlice = 8192;

}  // namespace

bool ResultListAhead::advance() {
    if (failed_ || size_ == 0 || made_ == size_) return false;
    if (!list_) {
        list_ = PyRef(new_list(size_));
        if (!list_) {
            PyErr_Clear();
            failed_ = true;
            return false;
        }
        PyObject_GC_UnTrack(list_.get());
        return true;
    }
    const std::size_t end = std::min(size_, made_ + kSlice);
    for (; made_ < end; ++made_) {
        PyObject* number = PyFloat_FromDouble(0.0);
        if (number == nullptr) {
            PyErr_Clear();
            failed_ = true;
            return false;
        }
        PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(made_), number);
    }
    return made_ < size_;
}

PyObject* ResultListAhead::finish(std::span<const double> values) {
    if (values.size() != size_) {
        throw Panic("a result of " + std::to_string(values.size()) + " values for a list of " +
                    std::to_string(size_) + " separations");
    }
    if (!list_) return to_python(values);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto index = static_cast<Py_ssize_t>(i);
        PyObject* number = i < made_ ? PyList_GET_ITEM(list_.get(), index) : nullptr;
        if (number != nullptr && Py_REFCNT(number) == 1 && PyFloat_CheckExact(number)) {
            // Only this list refers to it, and no Python code has seen it: it takes its value now.
            reinterpret_cast<PyFloatObject*>(number)->ob_fval = values[i];
            continue;
        }
        PyObject* fresh = PyFloat_FromDouble(values[i]);
        if (fresh == nullptr) return nullptr;  // the partial list goes with the destructor
        PyList_SET_ITEM(list_.get(), index, fresh);
        Py_XDECREF(number);
    }
    PyObject* list = list_.release();
    PyObject_GC_Track(list);
    return list;
}

}  // namespace mirvanta::module
