// The frame of every Python function: bind the arguments, convert them in parameter order, call
// the model routine, convert its result. No failure of any kind crosses into the interpreter as
// anything but a set exception and a null return; only the unwinding of a thread that CPython
// ends (pthread_exit) passes through, as it passes through CPython's own frames.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/binding.hpp"
#include "module/conversion.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"
#include "module/python_caller_hook.hpp"

namespace mirvanta::module {

// How a parameter is converted.
struct AsFloat {
    using type = double;
    static bool convert(PyObject* object, type& out, const char* parameter) {
        return to_double(object, out, parameter);
    }
};

struct AsFloatSequence {
    using type = std::vector<double>;
    static bool convert(PyObject* object, type& out, const char* parameter) {
        return to_float_sequence(object, out, parameter);
    }
};

// How the result is returned, as the function table declares it for each function.

// Converted as results.hpp converts its type: a float, a list, a list of lists; a model error is
// raised.
struct AsPythonObject {};

// A list of one float per separation, the items of the first parameter (`l`): the list is made
// while the workers compute (result_list_ahead.hpp). A result of any other length is an internal
// failure; a model error (a ModelResult that holds one) is raised.
struct AsFloatPerSeparation {};

namespace detail {

template <class... Kinds, std::size_t... I>
bool convert_all(const FunctionSignature& signature, PyObject* const* slots,
                 std::tuple<typename Kinds::type...>& values, std::index_sequence<I...>) {
    // Left to right, stopping at the first failure, which gets the note of its parameter.
    return ((Kinds::convert(slots[I], std::get<I>(values), signature.parameters[I]) ||
             (add_parameter_note(signature.parameters[I]), false)) &&
            ...);
}

}  // namespace detail

// Runs `model` on the converted arguments of a vectorcall and returns its result as `Returns`
// says. The Kinds give the conversion of each parameter of `signature`, in order.
template <class Returns, class... Kinds, class Model>
PyObject* call_frame(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Model model) {
    static_assert(sizeof...(Kinds) <= kMaxParameters);
    try {
        PyObject* slots[sizeof...(Kinds)] = {};
        if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
        // Installed from the conversions on: a long sequence, the computation and a long result
        // list all ask it, so that Ctrl-C stops the call in any of them.
        PythonCallerHook hook;
        const ScopedCallerHook installed(hook);
        std::tuple<typename Kinds::type...> values;
        if (!detail::convert_all<Kinds...>(signature, slots, values, std::index_sequence_for<Kinds...>{})) {
            return nullptr;
        }
        using Result = decltype(std::apply(model, std::move(values)));
        constexpr bool kPerSeparation = std::is_same_v<Returns, AsFloatPerSeparation>;
        static_assert(kPerSeparation || std::is_same_v<Returns, AsPythonObject>);
        std::size_t list_size = 0;
        if constexpr (kPerSeparation) {
            static_assert(std::is_same_v<std::tuple_element_t<0, std::tuple<Kinds...>>, AsFloatSequence>,
                          "the separations are the first parameter, a sequence");
            static_assert(std::is_same_v<Result, std::vector<double>> ||
                              std::is_same_v<Result, models::ModelResult<std::vector<double>>>,
                          "the model returns the floats themselves, or an error");
            list_size = std::get<0>(values).size();
            hook.result_list().expect(list_size);
        }
        PyObject* result;
        if constexpr (kPerSeparation && std::is_same_v<Result, std::vector<double>>) {
            result = hook.result_list().finish(std::apply(model, std::move(values)));
        } else if constexpr (kPerSeparation) {
            // A refusal is raised; whatever of the list was made ahead goes with the hook.
            const Result computed = std::apply(model, std::move(values));
            if (!computed) return raise_deferred(computed.error());
            result = hook.result_list().finish(computed.value());
        } else {
            const Result computed = std::apply(model, std::move(values));
            result = to_python(computed);
            if (result == nullptr) return explain_result_memory_error(signature.name, result_size(computed));
        }
        if (result == nullptr) {
            return explain_result_memory_error(signature.name, ResultSize{static_cast<double>(list_size), 1.0});
        }
        // Code that the call ran (a signal handler, a collector callback) left an exception set
        // without stopping the computation: the exception is raised, and the result dropped.
        if (result != nullptr && PyErr_Occurred() != nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    } catch (...) {  // a forced unwind (CPython ending this thread) goes on from there
        return raise_current_exception(signature.name);
    }
}

}  // namespace mirvanta::module
