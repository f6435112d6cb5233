#include "module/result_list_ahead.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "common/panic.hpp"
#include "module/py_ref.hpp"
#include "module/results.hpp"

namespace mirvanta::module {
namespace {

// Floats made per slice: about a hundred microseconds of work, well under the poll interval (the
// poll promise, common/interruption.hpp).
constexpr std::size_t kSlice = 8192;

}  // namespace

ResultListAhead::~ResultListAhead() noexcept(false) {
    if (!may_release_references()) return;
    for (PyObject* number : floats_) Py_XDECREF(number);
}

bool ResultListAhead::advance() {
    if (failed_ || floats_.size() == size_ || work_left_ <= std::chrono::nanoseconds::zero()) return false;
    const auto start = std::chrono::steady_clock::now();
    const std::size_t end = std::min(size_, floats_.size() + kSlice);
    try {
        if (floats_.capacity() < end) floats_.reserve(std::min(size_, std::max(end, 2 * floats_.capacity())));
    } catch (const std::bad_alloc&) {
        failed_ = true;
        return false;
    }
    while (floats_.size() < end) {
        PyObject* number = PyFloat_FromDouble(0.0);
        if (number == nullptr) {
            PyErr_Clear();
            failed_ = true;
            return false;
        }
        floats_.push_back(number);  // within the capacity reserved: no allocation
    }
    work_left_ -= std::chrono::steady_clock::now() - start;
    return floats_.size() < size_ && work_left_ > std::chrono::nanoseconds::zero();
}

PyObject* ResultListAhead::finish(std::span<const double> values) {
    if (values.size() != size_) {
        throw Panic("a result of " + std::to_string(values.size()) + " values for a list of " +
                    std::to_string(size_) + " separations");
    }
    return to_python(values, floats_);
}

}  // namespace mirvanta::module
