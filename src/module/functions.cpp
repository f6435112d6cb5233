#include "module/functions.hpp"

#include <array>
#include <string>

#include "models/source_radii/flux_map.hpp"
#include "models/kernel/heyrovsky.hpp"
#include "models/source_radii/integrated.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/source_radii/witt_mao_batch.hpp"
#include "module/call_frame.hpp"

namespace mirvanta::module {
namespace {

constexpr const char* kLReRstar[] = {"l", "re", "rstar"};
constexpr const char* kLRReRstar[] = {"l", "r", "re", "rstar"};
constexpr const char* kFluxMap[] = {"l", "re", "rstar", "bl", "bf"};

constexpr FunctionSignature kWittMao{"witt_mao_magnification", kLReRstar};
constexpr FunctionSignature kIntegratedWittMao{"integrated_witt_mao_magnification", kLReRstar};
constexpr FunctionSignature kFluxMapWittMao{"integrated_flux_map_witt_mao_magnification", kFluxMap};
constexpr FunctionSignature kMultiWittMao{"multi_witt_mao_magnification", kLReRstar};
constexpr FunctionSignature kHeyrovsky{"heyrovsky_magnification", kLRReRstar};
constexpr FunctionSignature kIntegratedHeyrovsky{"integrated_heyrovsky_magnification", kLReRstar};
constexpr FunctionSignature kFluxMapHeyrovsky{"integrated_flux_map_heyrovsky_magnification", kFluxMap};
constexpr FunctionSignature kDiscreteFluxMap{"discrete_flux_map_heyrovsky_magnification", kFluxMap};

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The Python function of `Signature`: each parameter converted as its Kind says, then `Model`,
// whose result is returned as `Returns` says.
template <const FunctionSignature& Signature, auto Model, class Returns, class... Kinds>
PyObject* python_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<Returns, Kinds...>(Signature, args, nargs, kwnames, Model);
}

// The docstring holds only the text signature, "name(a, b)\n--\n\n", so that __text_signature__
// is set and __doc__ is None. It is built at compile time into static storage that is never
// destroyed: the function objects read it for as long as they live, which may be after the
// process has begun to destroy its C++ statics at exit.
template <const FunctionSignature& Signature>
struct TextSignature {
    static constexpr std::size_t length() {
        std::size_t total =
            std::char_traits<char>::length(Signature.name) + std::char_traits<char>::length("()\n--\n\n");
        for (std::size_t i = 0; i < Signature.parameters.size(); ++i) {
            total += (i > 0 ? 2 : 0) + std::char_traits<char>::length(Signature.parameters[i]);
        }
        return total;
    }

    static constexpr std::array<char, length() + 1> text = [] {
        std::array<char, length() + 1> out{};
        std::size_t n = 0;
        auto append = [&](const char* piece) {
            while (*piece != '\0') out[n++] = *piece++;
        };
        append(Signature.name);
        append("(");
        for (std::size_t i = 0; i < Signature.parameters.size(); ++i) {
            if (i > 0) append(", ");
            append(Signature.parameters[i]);
        }
        append(")\n--\n\n");
        return out;
    }();
};

// The method definition of the Python function of `Signature`.
template <const FunctionSignature& Signature, auto Model, class Returns, class... Kinds>
PyMethodDef method() {
    FastCallWithKeywords call = python_function<Signature, Model, Returns, Kinds...>;
    return {Signature.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
            METH_FASTCALL | METH_KEYWORDS, TextSignature<Signature>::text.data()};
}

using Sequence = AsFloatSequence;
using Float = AsFloat;
using PerSeparation = AsFloatPerSeparation;
using Object = AsPythonObject;

// Each function: its signature, its model routine, how the result is returned, and how each
// parameter is converted. In the order in which the exec step adds them to the module. The
// function objects refer to these for the life of the process; PyMethodDef has no destructor, so
// nothing ends them at exit.
PyMethodDef methods[] = {
    method<kWittMao, models::witt_mao_magnification, PerSeparation, Sequence, Float, Float>(),
    method<kIntegratedWittMao, models::integrated_witt_mao_magnification, PerSeparation, Sequence, Float, Float>(),
    method<kFluxMapWittMao, models::integrated_flux_map_witt_mao_magnification, PerSeparation, Sequence, Float,
           Float, Sequence, Sequence>(),
    method<kMultiWittMao, models::multi_witt_mao_magnification, Object, Sequence, Sequence, Sequence>(),
    method<kHeyrovsky, models::heyrovsky_magnification, Object, Float, Float, Float, Float>(),
    method<kIntegratedHeyrovsky, models::integrated_heyrovsky_magnification, PerSeparation, Sequence, Float,
           Float>(),
    method<kFluxMapHeyrovsky, models::integrated_flux_map_heyrovsky_magnification, PerSeparation, Sequence, Float,
           Float, Sequence, Sequence>(),
    method<kDiscreteFluxMap, models::discrete_flux_map_heyrovsky_magnification, Object, Sequence, Float, Float,
           Sequence, Sequence>(),
};

}  // namespace

std::span<PyMethodDef> function_table() { return methods; }

}  // namespace mirvanta::module
