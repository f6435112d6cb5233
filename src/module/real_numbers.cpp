#include "module/real_numbers.hpp"

#include <cstring>
#include <string_view>

#include "module/process_cache.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

// What a refused kind is called, and what to do instead.
struct Refusal {
    const char* noun;
    const char* hint;
};

Refusal refusal(char kind) {
    constexpr const char* kTimes = "; convert times to numbers in one unit first, e.g. (t - t_ref) / numpy.timedelta64(1, 'D')";
    constexpr const char* kText = "; convert text to numbers first";
    switch (kind) {
        case 'c': return {"complex", "; pass .real if the real part alone is meant"};
        case 'M': return {"datetime64", kTimes};
        case 'm': return {"timedelta64", kTimes};
        case 'U':
        case 'T': return {"str", kText};
        case 'S': return {"bytes", kText};
        case 'V': return {"void", ""};
        default: return {"values that are not real numbers", ""};
    }
}

void raise_not_real(const char* expected, char kind, PyObject* dtype) {
    const Refusal what = refusal(kind);
    PyErr_Format(PyExc_TypeError, "%s, not %s (dtype %S)%s", expected, what.noun, dtype, what.hint);
}

void raise_masked(const char* parameter) {
    if (parameter != nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%s is a masked array, whose mask the computation would drop: pass %s.filled(numpy.nan) for NaN "
                     "where it is masked, or %s.compressed() for its unmasked values alone",
                     parameter, parameter, parameter);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "a masked array is not accepted, since the computation would drop its mask: pass "
                        ".filled(numpy.nan) for NaN where it is masked, or .compressed() for its unmasked values alone");
    }
}

// object.<name>, the name from a cache of interned names, into *out (left empty when there is no
// such attribute): 1 found, 0 not, -1 with an exception set.
int optional_attribute(PyObject* object, PyObject* name, PyRef* out) {
    if (name == nullptr) return -1;
    PyObject* value = nullptr;
    const int found = PyObject_GetOptionalAttr(object, name, &value);
    *out = PyRef(value);
    return found;
}

// Whether `object` is a numpy.ma.MaskedArray: 1, 0, or -1 with an exception set. numpy.ma is
// looked up among the loaded modules, never imported: no masked array exists before it is loaded.
int is_masked(PyObject* object) {
    PyObject* name = interned_numpy_ma();
    if (name == nullptr) return -1;
    PyRef ma(PyImport_GetModule(name));
    if (!ma) return PyErr_Occurred() != nullptr ? -1 : 0;
    PyRef masked_array;
    if (optional_attribute(ma.get(), interned_masked_array(), &masked_array) < 0) return -1;
    if (!masked_array || !PyType_Check(masked_array.get())) return 0;
    return PyObject_IsInstance(object, masked_array.get());
}

// The one-character kind of `dtype` ('f', 'c', ...) in *kind, 0 when it has none; false with an
// exception set when reading it raised.
bool kind_of(PyObject* dtype, char* kind) {
    *kind = 0;
    PyRef text;
    if (optional_attribute(dtype, interned_kind(), &text) < 0) return false;
    if (text && PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) == 1) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(text.get(), 0);
        if (c < 128) *kind = static_cast<char>(c);
    }
    return true;
}

bool real_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

// The values of an object with a dtype, as an ndarray (NumPy is loaded, or the dtype would not
// exist); null with an exception set.
PyObject* as_ndarray(PyObject* object) {
    PyRef numpy(PyImport_ImportModule("numpy"));
    return numpy ? PyObject_CallMethod(numpy.get(), "asarray", "(O)", object) : nullptr;
}

// Object arrays within object arrays are checked this deep; deeper ones are refused.
constexpr int kMostNesting = 8;

bool check_items(PyObject* array, const char* parameter, int depth);

bool check_value(PyObject* object, const char* parameter, int depth);

bool check_item(PyObject* item, const char* parameter, int depth) {
    if (PyFloat_Check(item) || PyLong_Check(item) || item == Py_None) return true;
    if (PyUnicode_Check(item) || PyBytes_Check(item) || PyByteArray_Check(item) || PyComplex_Check(item)) {
        PyErr_Format(PyExc_TypeError, "must be real number, not %.200s", Py_TYPE(item)->tp_name);
        return false;
    }
    return check_value(item, parameter, depth);
}

}  // namespace

DtypeKind dtype_kind(PyObject* object, const char* expected, const char* parameter) {
    PyRef dtype;
    const int found = optional_attribute(object, interned_dtype(), &dtype);
    if (found < 0) return DtypeKind::failed;
    if (found == 0) return DtypeKind::none;
    char kind = 0;
    if (!kind_of(dtype.get(), &kind)) return DtypeKind::failed;
    if (kind == 0) return DtypeKind::none;  // a dtype of another library's own: converted as before
    const int masked = is_masked(object);
    if (masked < 0) return DtypeKind::failed;
    if (masked > 0) {
        raise_masked(parameter);
        return DtypeKind::refused;
    }
    if (real_kind(kind)) return DtypeKind::real;
    if (kind == 'O') return DtypeKind::objects;
    raise_not_real(expected, kind, dtype.get());
    return DtypeKind::refused;
}

namespace {

bool check_value(PyObject* object, const char* parameter, int depth) {
    switch (dtype_kind(object, "must be real number", parameter)) {
        case DtypeKind::none:
        case DtypeKind::real:
            return true;
        case DtypeKind::objects: {  // float() of a one-element object array converts its item
            if (depth >= kMostNesting) {
                PyErr_SetString(PyExc_TypeError, "must be real number, not object arrays nested this deep");
                return false;
            }
            PyRef array(as_ndarray(object));
            return array && check_items(array.get(), parameter, depth + 1);
        }
        case DtypeKind::refused:
        case DtypeKind::failed:
            break;
    }
    return false;
}

bool check_items(PyObject* array, const char* parameter, int depth) {
    PyRef flat(PyObject_GetAttrString(array, "flat"));
    PyRef iterator(flat ? PyObject_GetIter(flat.get()) : nullptr);
    if (!iterator) return false;
    for (;;) {
        PyObject* next = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &next);
        if (status <= 0) return status == 0;
        PyRef item(next);
        if (!check_item(item.get(), parameter, depth)) return false;
    }
}

}  // namespace

bool check_real_value(PyObject* object, const char* parameter) { return check_value(object, parameter, 0); }

bool check_real_item(PyObject* item, const char* parameter) { return check_item(item, parameter, 0); }

bool check_object_items(PyObject* array, const char* parameter) { return check_items(array, parameter, 0); }

bool refuse_bytes_buffer(PyObject* object, const char* expected) {
    if (!PyMemoryView_Check(object)) return false;
    const Py_buffer* view = PyMemoryView_GET_BUFFER(object);
    const std::string_view format = view->format != nullptr ? view->format : "B";
    const bool bytes = format == "B" || format == "b" || format == "c" || format == "@B" || format == "@b";
    PyObject* base = view->obj;
    if (!bytes || base == nullptr || !(PyBytes_Check(base) || PyByteArray_Check(base))) return false;
    PyErr_Format(PyExc_TypeError, "%s, not a memoryview of %.200s", expected, Py_TYPE(base)->tp_name);
    return true;
}

}  // namespace mirvanta::module
