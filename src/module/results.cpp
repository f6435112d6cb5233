#include "module/results.hpp"

#include <string>
#include <utility>

#include "common/interruption.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

// A long list asks the installed caller hook whether to stop after every slice of this many
// floats: about a hundred microseconds of work, well under the poll interval
// (common/interruption.hpp).
constexpr std::size_t kFloatsPerQuestion = 8192;

// While a list is filled it holds empty slots, and the hook's questions may run Python code (a
// signal handler, a collection): the list is kept out of the garbage collector's sight until it
// is full, so that no Python code can meet it. Released with its partial contents on failure.
class ListBeingFilled {
public:
    explicit ListBeingFilled(std::size_t size) : list_(new_list(size)) {
        if (list_) PyObject_GC_UnTrack(list_.get());
    }
    PyObject* get() const noexcept { return list_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(list_); }
    void set(std::size_t index, PyObject* item) noexcept {
        PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(index), item);
    }
    PyObject* full() noexcept {
        PyObject_GC_Track(list_.get());
        return list_.release();
    }

private:
    PyRef list_;
};

// A float made ahead takes its value when only its holder refers to it, as no Python code has
// seen it; anything else is replaced by a new float.
PyObject* with_value(PyObject* made, double value) {
    if (made != nullptr && Py_REFCNT(made) == 1 && PyFloat_CheckExact(made)) {
        reinterpret_cast<PyFloatObject*>(made)->ob_fval = value;
        return made;
    }
    PyObject* fresh = to_python(value);
    if (made != nullptr && may_release_references()) Py_DECREF(made);
    return fresh;
}

}  // namespace

PyObject* new_list(std::size_t size) { return PyList_New(static_cast<Py_ssize_t>(size)); }

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::span<const double> values, std::span<PyObject*> made) {
    ListBeingFilled list(values.size());
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0 && i % kFloatsPerQuestion == 0) interruption_point();
        PyObject* held = nullptr;
        if (i < made.size()) std::swap(held, made[i]);
        PyObject* number = with_value(held, values[i]);
        if (number == nullptr) return nullptr;  // the partial list goes with `list`
        list.set(i, number);
    }
    return list.full();
}

PyObject* to_python(const models::MagnificationGrid& grid) {
    ListBeingFilled list(grid.size());
    if (!list) return nullptr;
    for (std::size_t row = 0; row < grid.size(); ++row) {
        PyObject* converted = to_python(grid[row]);
        if (converted == nullptr) return nullptr;
        list.set(row, converted);
    }
    return list.full();
}

ResultSize result_size(const models::MagnificationGrid& grid) {
    return {static_cast<double>(grid.size()) * static_cast<double>(grid.row_length()),
            static_cast<double>(grid.size()) + 1.0};
}

PyObject* explain_result_memory_error(const char* function, ResultSize size) {
    // A float object and a list's pointer to it: 32 bytes on 64-bit CPython; a list's header: 56.
    const double bytes = size.floats * 32.0 + size.lists * 56.0;
    std::string what = "the result, ";
    if (size.lists == 0.0) {
        what += "a float";
    } else if (size.lists == 1.0) {
        what += "a list of " + count_text(size.floats) + " floats";
    } else {
        what += count_text(size.lists) + " lists of " + count_text(size.floats) + " floats in all";
    }
    return explain_memory_error(function, what.c_str(), bytes);
}

}  // namespace mirvanta::module
