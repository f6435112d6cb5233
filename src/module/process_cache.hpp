// A Python object created once, on first use, and kept for the life of the process.
//
// The first user releases the interpreter lock while it waits for (or runs) the one-time
// initialisation, and the initialiser takes the lock again to create the object; so two threads
// that race to the first use can never deadlock on the lock and the once-flag. Once the object
// is set, reading it is a single atomic load.
#pragma once

#include <atomic>
#include <mutex>

#include "module/compat.hpp"

namespace mirvanta::module {

class ProcessCache {
public:
    using Create = PyObject* (*)();  // a new reference, or null with an exception set

    explicit constexpr ProcessCache(Create create) noexcept : create_(create) {}

    // A borrowed reference, or null with the creator's exception set (a later call tries again).
    PyObject* get() noexcept {
        if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
        return initialise();
    }

private:
    PyObject* initialise() noexcept;

    Create create_;
    std::mutex mutex_;
    std::atomic<PyObject*> object_{nullptr};
};

// The caches of the module.
PyObject* sequence_abc();     // collections.abc.Sequence
PyObject* panic_exception();  // the PanicException class
PyObject* interned_name();    // "__name__"
PyObject* interned_all();     // "__all__"
PyObject* interned_add_note();  // "add_note"

}  // namespace mirvanta::module
