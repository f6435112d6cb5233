#include "module/process_cache.hpp"

namespace mirvanta::module {
namespace {

// collections.abc.Sequence, from the module that defines it: _collections_abc, which the
// interpreter loads at start-up (os imports it), so that taking the class at the exec step
// imports nothing in the usual case.
PyObject* import_sequence_abc() {
    PyObject* abc = PyImport_ImportModule("_collections_abc");
    if (abc == nullptr) return nullptr;
    PyObject* sequence = PyObject_GetAttrString(abc, "Sequence");
    Py_DECREF(abc);
    return sequence;
}

constexpr const char* kPanicDoc =
    "Raised when mirvanta's native code fails unrecoverably (a violated internal invariant).\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it is not swallowed by\n"
    "'except Exception' and typically propagates all the way up and ends the interpreter.";

PyObject* create_panic_exception() {
    return PyErr_NewExceptionWithDoc("mirvanta.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
}

template <const char* Text>
PyObject* intern() {
    return PyUnicode_InternFromString(Text);
}

constexpr char kName[] = "__name__";
constexpr char kAll[] = "__all__";
constexpr char kAddNote[] = "add_note";
constexpr char kDtype[] = "dtype";
constexpr char kKind[] = "kind";
constexpr char kNumpyMa[] = "numpy.ma";
constexpr char kMaskedArray[] = "MaskedArray";

ProcessCache sequence_cache{import_sequence_abc};
ProcessCache panic_cache{create_panic_exception};
ProcessCache name_cache{intern<kName>};
ProcessCache all_cache{intern<kAll>};
ProcessCache add_note_cache{intern<kAddNote>};
ProcessCache dtype_cache{intern<kDtype>};
ProcessCache kind_cache{intern<kKind>};
ProcessCache numpy_ma_cache{intern<kNumpyMa>};
ProcessCache masked_array_cache{intern<kMaskedArray>};

}  // namespace

PyObject* ProcessCache::initialise() {
    PyObject* created = create_();
    if (created == nullptr) return nullptr;  // the exception stays pending; a later call tries again
    PyObject* published = nullptr;
    if (object_.compare_exchange_strong(published, created, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return created;
    }
    Py_DECREF(created);  // another thread (or a re-entrant call) published first
    return published;
}

PyObject* sequence_abc() { return sequence_cache.get(); }
PyObject* panic_exception() { return panic_cache.get(); }
PyObject* interned_name() { return name_cache.get(); }
PyObject* interned_all() { return all_cache.get(); }
PyObject* interned_add_note() { return add_note_cache.get(); }
PyObject* interned_dtype() { return dtype_cache.get(); }
PyObject* interned_kind() { return kind_cache.get(); }
PyObject* interned_numpy_ma() { return numpy_ma_cache.get(); }
PyObject* interned_masked_array() { return masked_array_cache.get(); }

}  // namespace mirvanta::module
