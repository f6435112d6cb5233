#include "module/functions.hpp"

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
#include "module/call_frame.hpp"

namespace mirvanta::module {
namespace {

constexpr const char* kLReRstar[] = {"l", "re", "rstar"};
constexpr const char* kLRReRstar[] = {"l", "r", "re", "rstar"};
constexpr const char* kFluxMap[] = {"l", "re", "rstar", "bl", "bf"};

constexpr FunctionSpec kWittMao{"witt_mao_magnification", kLReRstar};
constexpr FunctionSpec kHeyrovsky{"heyrovsky_magnification", kLRReRstar};
constexpr FunctionSpec kMultiWittMao{"multi_witt_mao_magnification", kLReRstar};
constexpr FunctionSpec kIntegratedWittMao{"integrated_witt_mao_magnification", kLReRstar};
constexpr FunctionSpec kIntegratedHeyrovsky{"integrated_heyrovsky_magnification", kLReRstar};
constexpr FunctionSpec kFluxMapWittMao{"integrated_flux_map_witt_mao_magnification", kFluxMap};
constexpr FunctionSpec kFluxMapHeyrovsky{"integrated_flux_map_heyrovsky_magnification", kFluxMap};
constexpr FunctionSpec kDiscreteFluxMap{"discrete_flux_map_heyrovsky_magnification", kFluxMap};



// Each function: its description, the conversion of each parameter, and the model routine.
PyObject* witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<AsFloatSequence, AsFloat, AsFloat>(kWittMao, args, nargs, kwnames,
                                                         models::witt_mao_magnification);
}

PyObject* integrated_witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    return call_frame<AsFloatSequence, AsFloat, AsFloat>(kIntegratedWittMao, args, nargs, kwnames,
                                                         models::integrated_witt_mao_magnification);
}

PyObject* integrated_flux_map_witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
    return call_frame<AsFloatSequence, AsFloat, AsFloat, AsFloatSequence, AsFloatSequence>(
        kFluxMapWittMao, args, nargs, kwnames, models::integrated_flux_map_witt_mao_magnification);
}

PyObject* multi_witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<AsFloatSequence, AsFloatSequence, AsFloatSequence>(kMultiWittMao, args, nargs, kwnames,
                                                                         models::multi_witt_mao_magnification);
}

PyObject* heyrovsky_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<AsFloat, AsFloat, AsFloat, AsFloat>(kHeyrovsky, args, nargs, kwnames,
                                                          models::heyrovsky_magnification);
}

PyObject* integrated_heyrovsky_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    return call_frame<AsFloatSequence, AsFloat, AsFloat>(kIntegratedHeyrovsky, args, nargs, kwnames,
                                                         models::integrated_heyrovsky_magnification);
}

PyObject* integrated_flux_map_heyrovsky_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
    return call_frame<AsFloatSequence, AsFloat, AsFloat, AsFloatSequence, AsFloatSequence>(
        kFluxMapHeyrovsky, args, nargs, kwnames, models::integrated_flux_map_heyrovsky_magnification);
}

PyObject* discrete_flux_map_heyrovsky_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    return call_frame<AsFloatSequence, AsFloat, AsFloat, AsFloatSequence, AsFloatSequence>(
        kDiscreteFluxMap, args, nargs, kwnames, models::discrete_flux_map_heyrovsky_magnification);
}

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastCallWithKeywords Function>
constexpr PyMethodDef entry(const FunctionSpec& spec, const char* doc) {
    return {spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The docstrings hold only the text signature, so that __text_signature__ is set and __doc__
// is None.
PyMethodDef kFunctions[] = {
    entry<witt_mao_magnification>(kWittMao, "witt_mao_magnification(l, re, rstar)\n--\n\n"),
    entry<integrated_witt_mao_magnification>(kIntegratedWittMao,
                                             "integrated_witt_mao_magnification(l, re, rstar)\n--\n\n"),
    entry<integrated_flux_map_witt_mao_magnification>(
        kFluxMapWittMao, "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)\n--\n\n"),
    entry<multi_witt_mao_magnification>(kMultiWittMao, "multi_witt_mao_magnification(l, re, rstar)\n--\n\n"),
    entry<heyrovsky_magnification>(kHeyrovsky, "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"),
    entry<integrated_heyrovsky_magnification>(kIntegratedHeyrovsky,
                                              "integrated_heyrovsky_magnification(l, re, rstar)\n--\n\n"),
    entry<integrated_flux_map_heyrovsky_magnification>(
        kFluxMapHeyrovsky, "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"),
    entry<discrete_flux_map_heyrovsky_magnification>(
        kDiscreteFluxMap, "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"),
};

}  // namespace

std::span<PyMethodDef> function_table() { return kFunctions; }

}  // namespace mirvanta::module
