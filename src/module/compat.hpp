// Shims for C API that newer CPython versions have and older supported ones lack. Each provides
// the newer function under its own name so that the rest of the module has one code path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// 3.12: the raised exception as one object.
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

static inline void PyErr_SetRaisedException(PyObject* exc) {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.13: whether the interpreter is finalizing; safe to call without the interpreter lock.
static inline int Py_IsFinalizing(void) { return _Py_IsFinalizing(); }
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.13: an attribute that may be missing; 1 with *result set, 0 (no AttributeError left) when
// there is none, -1 with an exception set.
static inline int PyObject_GetOptionalAttr(PyObject* object, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(object, name, result);
}
#endif

#if PY_VERSION_HEX < 0x030E00A1
// 3.14: next item of an iterator; 1 with *item set, 0 at the end, -1 with an exception set.
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    *item = PyIter_Next(iter);
    if (*item != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}
#endif
