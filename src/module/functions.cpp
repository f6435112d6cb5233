#include "module/functions.hpp"

#include <array>
#include <string>

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
constexpr FunctionSpec kIntegratedWittMao{"integrated_witt_mao_magnification", kLReRstar};
constexpr FunctionSpec kFluxMapWittMao{"integrated_flux_map_witt_mao_magnification", kFluxMap};
constexpr FunctionSpec kMultiWittMao{"multi_witt_mao_magnification", kLReRstar};
constexpr FunctionSpec kHeyrovsky{"heyrovsky_magnification", kLRReRstar};
constexpr FunctionSpec kIntegratedHeyrovsky{"integrated_heyrovsky_magnification", kLReRstar};
constexpr FunctionSpec kFluxMapHeyrovsky{"integrated_flux_map_heyrovsky_magnification", kFluxMap};
constexpr FunctionSpec kDiscreteFluxMap{"discrete_flux_map_heyrovsky_magnification", kFluxMap};

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The Python function of `Spec`: each parameter converted as its Kind says, then `Model`.
template <const FunctionSpec& Spec, auto Model, class... Kinds>
PyObject* python_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<Kinds...>(Spec, args, nargs, kwnames, Model);
}

using Sequence = AsFloatSequence;
using Float = AsFloat;

struct Function {
    const FunctionSpec& spec;
    FastCallWithKeywords call;
};

// In the order in which the exec step adds them to the module.
constexpr Function kFunctions[] = {
    {kWittMao, python_function<kWittMao, models::witt_mao_magnification, Sequence, Float, Float>},
    {kIntegratedWittMao,
     python_function<kIntegratedWittMao, models::integrated_witt_mao_magnification, Sequence, Float, Float>},
    {kFluxMapWittMao, python_function<kFluxMapWittMao, models::integrated_flux_map_witt_mao_magnification, Sequence,
                                      Float, Float, Sequence, Sequence>},
    {kMultiWittMao,
     python_function<kMultiWittMao, models::multi_witt_mao_magnification, Sequence, Sequence, Sequence>},
    {kHeyrovsky, python_function<kHeyrovsky, models::heyrovsky_magnification, Float, Float, Float, Float>},
    {kIntegratedHeyrovsky,
     python_function<kIntegratedHeyrovsky, models::integrated_heyrovsky_magnification, Sequence, Float, Float>},
    {kFluxMapHeyrovsky, python_function<kFluxMapHeyrovsky, models::integrated_flux_map_heyrovsky_magnification,
                                        Sequence, Float, Float, Sequence, Sequence>},
    {kDiscreteFluxMap, python_function<kDiscreteFluxMap, models::discrete_flux_map_heyrovsky_magnification,
                                       Sequence, Float, Float, Sequence, Sequence>},
};
constexpr std::size_t kCount = std::size(kFunctions);

// The docstring holds only the text signature, "name(a, b)\n--\n\n", so that __text_signature__
// is set and __doc__ is None.
std::string text_signature(const FunctionSpec& spec) {
    std::string text = std::string(spec.name) + "(";
    for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
        if (i > 0) text += ", ";
        text += spec.parameters[i];
    }
    return text + ")\n--\n\n";
}

struct MethodTable {
    std::array<std::string, kCount> docs;
    std::array<PyMethodDef, kCount> defs;

    MethodTable() {
        for (std::size_t i = 0; i < kCount; ++i) {
            docs[i] = text_signature(kFunctions[i].spec);
            defs[i] = {kFunctions[i].spec.name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kFunctions[i].call)),
                       METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()};
        }
    }
};

}  // namespace

std::span<PyMethodDef> function_table() {
    static MethodTable table;  // the function objects refer to it for the life of the process
    return table.defs;
}

}  // namespace mirvanta::module
