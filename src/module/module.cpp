// The extension module `mirvanta`: its definition, multi-phase initialisation and exec step.
#include "module/compat.hpp"
#include "module/errors.hpp"
#include "module/flux_functions.hpp"
#include "module/gradient_functions.hpp"
#include "module/functions.hpp"
#include "module/laws.hpp"
#include "module/profile_functions.hpp"
#include "module/process_cache.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

// The module's __all__ list, created empty when the module has none yet (borrowed semantics
// are not available for attributes, so this returns a new reference).
PyRef all_list(PyObject* module) {
    PyObject* all_name = interned_all();
    if (all_name == nullptr) return PyRef();
    PyRef all(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return PyRef();
        return all;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "mirvanta: the module's __all__ is not a list");
        return PyRef();
    }
    return all;
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
    PyRef function(PyCMethod_New(&def, module, module_name, nullptr));
    if (!function) return -1;
    PyObject* name_attribute = interned_name();
    if (name_attribute == nullptr) return -1;
    PyRef name(PyObject_GetAttr(function.get(), name_attribute));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "mirvanta: a function's __name__ is not a str");
        return -1;
    }
    PyRef all = all_list(module);
    if (!all) return -1;
    if (PyList_Append(all.get(), name.get()) < 0) panic_from_python_error("could not append __name__ to __all__");
    return PyObject_SetAttr(module, name.get(), function.get());
}

// Lists the class `cls` in __all__ under `name` and sets it as the module's attribute.
int add_class(PyObject* module, PyObject* all, const char* name, PyObject* cls) {
    if (cls == nullptr) return -1;
    PyRef name_object(PyUnicode_FromString(name));
    if (!name_object) return -1;
    if (PyList_Append(all, name_object.get()) < 0) panic_from_python_error("could not append a class to __all__");
    return PyObject_SetAttr(module, name_object.get(), cls);
}

// The module's objects that outlive a call (the cached classes and names, the worker pool) are
// shared by the whole process, so it loads into the main interpreter only. Interpreters that
// offer the slot are refused by it; this covers those that do not (3.11).
bool refuse_subinterpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return false;
    PyErr_SetString(PyExc_ImportError, "module mirvanta does not support loading in subinterpreters");
    return true;
}

int exec_module(PyObject* module) {
    try {
        if (refuse_subinterpreter()) return -1;
        // The class named by the not-a-sequence error is taken now, at load, not when that error
        // is first made: an import at that moment, in a child forked while another thread was
        // importing, would wait for an import lock that no thread of the child holds.
        if (sequence_abc() == nullptr) return -1;
        PyRef module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& def : function_table()) {
            if (add_function(module, module_name.get(), def) < 0) return -1;
        }
        for (PyMethodDef& def : profile_function_table()) {
            if (add_function(module, module_name.get(), def) < 0) return -1;
        }
        for (PyMethodDef& def : gradient_function_table()) {
            if (add_function(module, module_name.get(), def) < 0) return -1;
        }
        for (PyMethodDef& def : flux_function_table()) {
            if (add_function(module, module_name.get(), def) < 0) return -1;
        }
        // The brightness laws and fit_fluxes's result, one set of classes for the process (made
        // now, at load: FluxFit imports collections), listed in __all__ after the functions.
        PyRef all = all_list(module);
        if (!all) return -1;
        for (const LawClass& law : law_classes()) {
            if (add_class(module, all.get(), law.name, law.get()) < 0) return -1;
        }
        if (add_class(module, all.get(), "FluxFit", flux_fit_class()) < 0) return -1;
        PyRef version(PyUnicode_FromString(MIRVANTA_VERSION));
        if (!version || PyObject_SetAttrString(module, "__version__", version.get()) < 0) return -1;
        // Reachable by name, so that it can be caught as mirvanta.PanicException and pickled
        // (it crosses process pools); one class for the process, not listed in __all__.
        PyObject* panic_class = panic_exception();
        if (panic_class == nullptr) return -1;
        return PyObject_SetAttrString(module, "PanicException", panic_class);
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // The module's only process-wide state is a few once-initialised caches and the worker pool,
    // both safe to use from any thread; list and tuple arguments are read under a critical
    // section where there is no interpreter lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "mirvanta",
    "Microlensing magnification of finite source stars by a point lens, implemented in native code.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace mirvanta::module

PyMODINIT_FUNC PyInit_mirvanta(void) { return PyModuleDef_Init(&mirvanta::module::kDefinition); }
