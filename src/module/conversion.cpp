#include "module/conversion.hpp"

#include <algorithm>

#include "module/errors.hpp"
#include "module/process_cache.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

// How many doubles to reserve on the word of a __len__ that may lie; the vector grows past it
// as items arrive. Lists and tuples know their length and get exactly that.
constexpr Py_ssize_t kMaxUntrustedReservation = Py_ssize_t{1} << 20;

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

Py_ssize_t reservation(PyObject* object) {
    const Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {  // the length is only a hint
        PyErr_Clear();
        return 0;
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return hint;
    return std::min(hint, kMaxUntrustedReservation);
}

}  // namespace

bool to_double(PyObject* object, double& out) noexcept {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_float_sequence(PyObject* object, std::vector<double>& out) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_not_a_sequence(object);
        return false;
    }
    out.reserve(static_cast<std::size_t>(reservation(object)));
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    for (;;) {
        PyObject* next = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &next);
        if (status == 0) return true;
        if (status < 0) return false;
        PyRef item(next);
        double value;
        if (!to_double(item.get(), value)) return false;
        out.push_back(value);
    }
}

void add_parameter_note(const char* parameter) noexcept {
    PyRef exc(PyErr_GetRaisedException());
    if (!exc) return;
    PyObject* add_note = interned_add_note();
    PyRef note(add_note != nullptr ? PyUnicode_FromFormat("while processing '%s'", parameter) : nullptr);
    PyRef result(note ? PyObject_CallMethodOneArg(exc.get(), add_note, note.get()) : nullptr);
    if (!result) PyErr_Clear();  // the note is lost, the conversion's exception is not
    PyErr_SetRaisedException(exc.release());
}

}  // namespace mirvanta::module
