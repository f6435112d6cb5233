// A Python object created once, on first use, and kept for the life of the process.
//
// The object is created with the interpreter lock held and published with one compare-and-swap;
// threads that race to the first use may each create one, and the losers drop theirs. No lock of
// the module's own is held while the creator runs Python code or waits for the interpreter lock,
// so a fork from another thread at that moment leaves the child nothing locked, and a creator
// that re-enters the module (an import hook that calls it) finds no lock either. Once the object
// is set, reading it is a single atomic load.
#pragma once

#include <atomic>

#include "module/compat.hpp"

namespace mirvanta::module {

class ProcessCache {
public:
    using Create = PyObject* (*)();  // a new reference, or null with an exception set

    explicit constexpr ProcessCache(Create create) noexcept : create_(create) {}

    // A borrowed reference, or null with the creator's exception set (a later call tries again).
    // The creator may run Python code, so this is not noexcept.
    PyObject* get() {
        if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
        return initialise();
    }

private:
    PyObject* initialise();

    Create create_;
    std::atomic<PyObject*> object_{nullptr};
};

// The caches of the module.
PyObject* sequence_abc();       // collections.abc.Sequence, taken by the exec step
PyObject* panic_exception();    // the PanicException class
PyObject* interned_name();      // "__name__"
PyObject* interned_all();       // "__all__"
PyObject* interned_add_note();  // "add_note"
PyObject* interned_dtype();     // "dtype"
PyObject* interned_kind();      // "kind"
PyObject* interned_numpy_ma();  // "numpy.ma"
PyObject* interned_masked_array();  // "MaskedArray"

}  // namespace mirvanta::module
