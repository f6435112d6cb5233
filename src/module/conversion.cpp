#include "module/conversion.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "common/allocation_failure.hpp"
#include "common/interruption.hpp"
#include "module/errors.hpp"
#include "module/process_cache.hpp"
#include "module/py_ref.hpp"
#include "module/real_numbers.hpp"

namespace mirvanta::module {
namespace {

// How many doubles to reserve on the word of a __len__ that may lie; the vector grows past it
// as items arrive. Lists and tuples know their length and get exactly that.
constexpr Py_ssize_t kMaxUntrustedReservation = Py_ssize_t{1} << 20;

// A long sequence asks the installed caller hook (common/interruption.hpp) whether to stop after
// every so many items: 4,096 floats of a list take 20 to 80 us (the cache misses of scattered
// floats), 65,536 doubles of a buffer about as long (the copy's first touch of new pages), both
// well within the poll interval. Items converted by Python code (__float__, an iterator's
// __next__) let the interpreter run the handlers itself.
constexpr std::size_t kItemsPerQuestion = 4096;
constexpr std::size_t kDoublesPerQuestion = 65536;

// Room for `count` doubles in `out`; AllocationFailure when there is none, for the MemoryError's text.
void reserve_values(std::vector<double>& out, std::size_t count) {
    try {
        out.reserve(count);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure("the values", static_cast<double>(count), sizeof(double));
    }
}

// out.push_back(value), growing as the vector would (twice its size).
void append(std::vector<double>& out, double value) {
    if (out.size() == out.capacity()) reserve_values(out, out.size() < 8 ? 16 : 2 * out.size());
    out.push_back(value);
}

void raise_not_a_sequence(PyObject* object) {
    PyObject* sequence = sequence_abc();
    if (sequence == nullptr) panic_from_python_error("could not import collections.abc.Sequence");
    PyRef expected(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(sequence)));
    if (!expected) panic_from_python_error("could not read the name of collections.abc.Sequence");
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected.get());
        return;
    }
    PyRef actual(PyType_GetQualName(Py_TYPE(object)));
    if (!actual) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", actual.get(), expected.get());
}

// True for the exact types whose iteration yields exactly the doubles in their buffer: NumPy's
// ndarray (items are numpy.float64, a float subclass holding the same bits) and array.array
// (items are floats). Subclasses may iterate differently and take the general path.
bool iterates_as_its_buffer(PyObject* object) {
    const char* name = Py_TYPE(object)->tp_name;
    return std::strcmp(name, "numpy.ndarray") == 0 || std::strcmp(name, "array.array") == 0;
}

// The doubles of a one-dimensional buffer, appended to `out` (reserved for them) a block at a time,
// so that no page is touched before its block, with a question to the hook between blocks.
void copy_doubles(const Py_buffer& view, std::vector<double>& out) {
    const auto size = static_cast<std::size_t>(view.shape[0]);
    const char* item = static_cast<const char*>(view.buf);
    while (out.size() < size) {
        if (!out.empty()) interruption_point();
        const std::size_t end = std::min(size, out.size() + kDoublesPerQuestion);
        for (std::size_t i = out.size(); i < end; ++i) {
            double value;
            std::memcpy(&value, item, sizeof value);
            out.push_back(value);  // within the capacity reserved: no allocation
            item += view.strides[0];
        }
    }
}

// Reads a one-dimensional buffer of native doubles straight into `out`; false (and nothing
// read, no exception pending) for any other buffer, which then goes item by item.
bool read_double_buffer(PyObject* object, std::vector<double>& out) {
    if (!iterates_as_its_buffer(object)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
        PyErr_Clear();
        return false;
    }
    const std::string_view format = view.format != nullptr ? view.format : "B";
    const bool doubles = view.ndim == 1 && view.itemsize == sizeof(double) &&
                         (format == "d" || format == "=d" || format == "@d" ||
                          (format == "<d" && std::endian::native == std::endian::little));
    if (doubles) {
        try {
            reserve_values(out, static_cast<std::size_t>(view.shape[0]));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        try {
            copy_doubles(view, out);
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
    }
    PyBuffer_Release(&view);
    return doubles;
}

Py_ssize_t reservation(PyObject* object) {
    const Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {  // the length is only a hint
        PyErr_Clear();
        return 0;
    }
    return std::min(hint, kMaxUntrustedReservation);
}

// Holds the critical section of a list or tuple while it is read by index. Where there is no
// interpreter lock (free-threaded builds) another thread may change a list meanwhile; the section
// keeps its items alive while they are read. Converting a non-float item runs Python code, which
// may suspend the section, so that item is held by a strong reference while it converts. With
// the interpreter lock this is an empty object.
class ReadSection {
public:
#ifdef Py_GIL_DISABLED
    explicit ReadSection(PyObject* object) { PyCriticalSection_Begin(&section_, object); }
    ~ReadSection() { PyCriticalSection_End(&section_); }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

private:
    PyCriticalSection section_;
#else
    explicit ReadSection(PyObject*) noexcept {}
#endif
};

// Lists and tuples by index, exactly as their iterators walk them: the length and the item
// storage are read again before every item, since converting an item may run code that changes
// a list.
bool read_list_or_tuple(PyObject* object, std::vector<double>& out, const char* parameter) {
    ReadSection section(object);
    const bool list = PyList_CheckExact(object);
    PyObject** items = list ? reinterpret_cast<PyListObject*>(object)->ob_item
                            : reinterpret_cast<PyTupleObject*>(object)->ob_item;
    // The floats of a long list lie scattered over the heap; asking for them a few items ahead
    // hides most of the cache misses.
    constexpr Py_ssize_t kPrefetchDistance = 8;
    for (Py_ssize_t i = 0; i < Py_SIZE(object); ++i) {
        if (i > 0 && static_cast<std::size_t>(i) % kItemsPerQuestion == 0) interruption_point();
        if (list) items = reinterpret_cast<PyListObject*>(object)->ob_item;  // may move as it changes
        if (i + kPrefetchDistance < Py_SIZE(object)) __builtin_prefetch(items[i + kPrefetchDistance]);
        PyObject* item = items[i];
        if (PyFloat_CheckExact(item)) {
            append(out, PyFloat_AS_DOUBLE(item));
            continue;
        }
        PyRef held(Py_NewRef(item));  // the list may drop it while it converts
        double value;
        if (!to_double(held.get(), value, parameter)) return false;
        append(out, value);
    }
    return true;
}

// float(object), for a value already known to be a real number (or Python's to refuse).
bool as_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// The items of a sequence that is not a list or tuple, by iteration: each checked and converted
// by to_double, or only converted when `trusted` says that they are NumPy's real numbers.
bool read_by_iteration(PyObject* object, std::vector<double>& out, bool trusted, const char* parameter) {
    reserve_values(out, static_cast<std::size_t>(reservation(object)));
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    for (std::size_t count = 0;; ++count) {
        if (count > 0 && count % kItemsPerQuestion == 0) interruption_point();
        PyObject* next = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &next);
        if (status == 0) return true;
        if (status < 0) return false;
        PyRef item(next);
        double value;
        if (!(trusted ? as_double(item.get(), value) : to_double(item.get(), value, parameter))) return false;
        append(out, value);
    }
}

bool read_sequence(PyObject* object, std::vector<double>& out, const char* parameter) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_not_a_sequence(object);
        return false;
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        const bool list = PyList_CheckExact(object);
        reserve_values(out, static_cast<std::size_t>(list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object)));
        return read_list_or_tuple(object, out, parameter);
    }
    if (read_double_buffer(object, out)) return true;  // exact types only: never a masked array
    // An array of values that are not real numbers is refused before any is read; an ndarray of
    // real numbers yields NumPy's real scalars, converted without a check each.
    const DtypeKind kind = dtype_kind(object, "expected a sequence of real numbers", parameter);
    if (kind == DtypeKind::refused || kind == DtypeKind::failed) return false;
    return read_by_iteration(object, out, kind == DtypeKind::real && iterates_as_its_buffer(object), parameter);
}

}  // namespace

bool to_double(PyObject* object, double& out, const char* parameter) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (!PyFloat_Check(object) && !PyLong_Check(object) && !check_real_value(object, parameter)) return false;
    return as_double(object, out);
}

bool to_float_sequence(PyObject* object, std::vector<double>& out, const char* parameter) {
    try {
        return read_sequence(object, out, parameter);
    } catch (const AllocationFailure& failure) {
        const std::string what = std::string(failure.what_for()) + (parameter != nullptr ? " of " : "") +
                                 (parameter != nullptr ? parameter : "") + ", " + count_text(failure.count()) +
                                 " doubles";
        raise_memory_error(nullptr, what.c_str(), failure.bytes());
        return false;
    }
}

void add_parameter_note(const char* parameter) {
    PyRef exc(PyErr_GetRaisedException());
    if (!exc) return;
    PyObject* add_note = interned_add_note();
    PyRef note(add_note != nullptr ? PyUnicode_FromFormat("while processing '%s'", parameter) : nullptr);
    PyRef result(note ? PyObject_CallMethodOneArg(exc.get(), add_note, note.get()) : nullptr);
    if (!result) PyErr_Clear();  // the note is lost, the conversion's exception is not
    PyErr_SetRaisedException(exc.release());
}

}  // namespace mirvanta::module
