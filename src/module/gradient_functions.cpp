// The derivatives of the functions in Einstein radii: magnification_and_gradient and
// light_curve_and_jacobian, for gradient-based fits and Hamiltonian Monte Carlo. The computation
// is models/engine/profile_gradient.hpp's, on the worker pool; arguments are read as for
// magnification and light_curve (module/profile_arguments.hpp).
#include "module/gradient_functions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "models/engine/light_curve_jacobians.hpp"
#include "models/engine/profile_gradient.hpp"
#include "module/arrays.hpp"
#include "module/binding.hpp"
#include "module/conversion.hpp"
#include "module/errors.hpp"
#include "module/laws.hpp"
#include "module/profile_arguments.hpp"
#include "module/python_caller_hook.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

// The law of `limb` as the engine takes it, and how its derivatives map back to the caller's
// coefficients: a Profile hands the engine its table scaled (module/laws.hpp): the brightness by a
// power of two (the derivatives in it are scaled back by the same), the source radius by
// `radius_factor`, and where its brightness ends below 1/256 of the radius, without its dark
// entries beyond (their derivatives are not computed: NaN).
struct Law {
    models::BrightnessLaw law;
    double radius_factor = 1.0;
    std::size_t columns = 0;          // the caller's coefficients
    double brightness_factor = 1.0;   // a Profile's brightness as the engine has it, over the caller's

    bool read(PyObject* limb) {
        if (!to_brightness_law(limb, law, radius_factor)) {
            add_parameter_note("limb");
            return false;
        }
        columns = models::law_coefficient_count(law);
        if (law.kind != models::LawKind::tabulated) return true;
        PyRef brightness(PyObject_GetAttrString(limb, "brightness"));
        if (!brightness) return false;
        const Py_ssize_t size = PyTuple_Size(brightness.get());
        if (size < 0) return false;
        columns = static_cast<std::size_t>(size);
        double largest = 0.0;
        for (Py_ssize_t j = 0; j < size; ++j) largest = std::max(largest, PyFloat_AsDouble(PyTuple_GET_ITEM(brightness.get(), j)));
        int exponent = 0;
        std::frexp(largest, &exponent);
        brightness_factor = std::ldexp(1.0, 1 - exponent);
        return true;
    }

    // Row i's coefficient derivatives from the engine's to the caller's.
    void map_row(double* row) const {
        if (law.kind != models::LawKind::tabulated) return;
        const std::size_t computed = law.brightness.size();
        for (std::size_t j = 0; j < columns; ++j) row[j] = j < computed ? row[j] * brightness_factor : std::numeric_limits<double>::quiet_NaN();
    }
};

// A result: a float, or a new array of `shape` (with `axis`, one more axis of `extra`).
struct Output {
    NewArray array;
    double scalar = 0.0;
    bool is_array = false;
    bool make(const Shape& shape, bool as_array, const char* function) {
        is_array = as_array;
        return !as_array || array.make(shape, function);
    }
    bool make(const Shape& shape, std::size_t extra, const char* function) {
        Shape full = shape;
        full.push_back(static_cast<Py_ssize_t>(extra));
        return make(full, true, function);
    }
    double* data() { return is_array ? array.data() : &scalar; }
    PyObject* release() { return is_array ? array.release() : PyFloat_FromDouble(scalar); }
};

PyObject* pack(std::initializer_list<PyObject*> items) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (item == nullptr || !tuple) {
            for (PyObject* other : items) Py_XDECREF(other);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple.release();
}

// Runs the engine and maps its coefficient rows back; false with the exception set.
bool compute(const char* function, const models::ArrayView& u, const models::ArrayView& rho, const Law& law,
             double rtol, const models::GradientOutput& out) {
    const models::ProfileReport report = models::profile_gradient(u, rho, law.law, rtol, out);
    if (!report_warning(function, report, u.size(), rtol)) return false;
    const std::size_t n = u.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kCheckStretch == kCheckStretch - 1) interruption_point();
        out.drho[i * out.drho_stride] *= law.radius_factor;
        law.map_row(out.dlimb + i * out.dlimb_stride);
    }
    return true;
}

constexpr const char* kGradientParameters[] = {"u", "rho", "limb", "rtol"};
constexpr FunctionSignature kGradient{"magnification_and_gradient", kGradientParameters, 2, 3};

PyObject* magnification_and_gradient(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PythonCallerHook hook(0);
        const ScopedCallerHook installed(hook);
        PyObject* slots[4] = {};
        if (!bind_arguments(kGradient, args, nargs, kwnames, slots)) return nullptr;
        DoubleArray u, rho;
        Law law;
        double rtol = kDefaultRtol;
        if (!read_array(slots[0], "u", u) || !read_array(slots[1], "rho", rho) || !law.read(slots[2]) ||
            !read_rtol(slots[3], rtol)) {
            return nullptr;
        }
        if (!check_not_negative(u, "u", "the separation of lens and source centre in Einstein radii") ||
            !check_not_negative(rho, "rho", "the source radius in Einstein radii")) {
            return nullptr;
        }
        rho.scale(law.radius_factor, "rho scaled to the profile's table");  // module/laws.hpp
        Shape shape;
        if (!broadcast_shapes(u.shape(), rho.shape(), shape)) {
            PyErr_Format(PyExc_ValueError, "rho of shape %s does not broadcast against u of shape %s",
                         shape_text(rho.shape()).c_str(), shape_text(u.shape()).c_str());
            return nullptr;
        }
        const bool arrays = !(u.scalar() && rho.scalar());
        Output a, du, drho, dlimb;
        const char* name = "magnification_and_gradient";
        if (!a.make(shape, arrays, name) || !du.make(shape, arrays, name) || !drho.make(shape, arrays, name) ||
            !dlimb.make(shape, law.columns, name)) {
            return nullptr;
        }
        const models::GradientOutput out{a.data(), du.data(), drho.data(), dlimb.data(), 1, 1, law.columns};
        if (!compute(name, as_result(u, shape), as_result(rho, shape), law, rtol, out)) return nullptr;
        return pack({a.release(), du.release(), drho.release(), dlimb.release()});
    } catch (...) {
        return raise_current_exception("magnification_and_gradient");
    }
}

constexpr FunctionSignature kJacobian{"light_curve_and_jacobian", kLightCurveParameters, 5, 6};

PyObject* light_curve_and_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PythonCallerHook hook(0);
        const ScopedCallerHook installed(hook);
        PyObject* slots[7] = {};
        if (!bind_arguments(kJacobian, args, nargs, kwnames, slots)) return nullptr;
        DoubleArray arrays[5];  // t, t0, u0, tE, rho
        Law law;
        double rtol = kDefaultRtol, radius_factor = 1.0;
        if (!read_light_curve(slots, arrays, law.law, rtol, radius_factor) || !law.read(slots[5])) return nullptr;
        LightCurveBatch batch(arrays);
        if (!batch.broadcast()) return nullptr;
        const std::size_t columns = 4 + law.columns;
        Output a, jacobian;
        const char* name = "light_curve_and_jacobian";
        if (!a.make(batch.shape(), !batch.scalar(), name) || !jacobian.make(batch.shape(), columns, name)) return nullptr;
        const models::ProfileReport report = models::light_curve_jacobians(batch.trajectories(), law.law, rtol, a.data(),
                                                                           jacobian.data(), columns);
        if (!report_warning(name, report, batch.size(), rtol)) return nullptr;
        double* j = jacobian.data();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (i % kCheckStretch == kCheckStretch - 1) interruption_point();
            j[i * columns + 3] *= law.radius_factor;
            law.map_row(j + i * columns + 4);
        }
        return pack({a.release(), jacobian.release()});
    } catch (...) {
        return raise_current_exception("light_curve_and_jacobian");
    }
}

constexpr const char kGradientDoc[] =
    "magnification_and_gradient(u, rho, limb=None, *, rtol=1e-10)\n--\n\n"
    "The magnification and its exact derivatives, for gradient-based fits.\n\n"
    "Parameters are those of magnification: u (Einstein radii, >= 0) and rho (Einstein radii,\n"
    ">= 0) broadcast against each other; limb None or a brightness law; rtol the relative\n"
    "tolerance, which the derivatives reach too, each relative to the larger of its own size and\n"
    "A/rho (A for a coefficient's).\n\n"
    "Returns\n"
    "-------\n"
    "(A, dA_du, dA_drho, dA_dlimb)\n"
    "    A, dA_du and dA_drho: floats when u and rho are numbers, else float64 arrays of their\n"
    "    broadcast shape; dA_dlimb: that shape plus one axis, one column per coefficient of the law\n"
    "    in the order its constructor takes them (none for the uniform disk; one per brightness\n"
    "    value of a Profile).\n\n"
    "Where the lens lies exactly on the limb of a uniformly bright part of the source, dA/du and\n"
    "dA/drho diverge logarithmically: docs/interface.md says what is returned there. NaN in u or\n"
    "rho gives NaN. Ctrl-C stops the call.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import mirvanta\n"
    ">>> A, dA_du, dA_drho, dA_dlimb = mirvanta.magnification_and_gradient(0.02, 0.05, mirvanta.Linear(0.6))  # doctest: +SKIP\n";

constexpr const char kJacobianDoc[] =
    "light_curve_and_jacobian(t, t0, u0, tE, rho, limb=None, *, rtol=1e-10)\n--\n\n"
    "A point-lens light curve and its exact Jacobian in the event's parameters.\n\n"
    "Parameters are those of light_curve: u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) Einstein radii; t,\n"
    "t0, u0, tE and rho broadcast against each other as a batch of events, each event's rows those\n"
    "of the event alone (the events run one after another, each on the worker pool).\n\n"
    "Returns\n"
    "-------\n"
    "(A, J)\n"
    "    A as light_curve returns it; J, a float64 array of A's shape plus one axis: the columns\n"
    "    dA/dt0, dA/du0, dA/dtE, dA/drho, then one per coefficient of the law in the order its\n"
    "    constructor takes them. At u = 0 (u0 = 0 at t = t0) the columns t0, u0 and tE hold their\n"
    "    limit, 0.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, mirvanta\n"
    ">>> t = np.linspace(-50.0, 50.0, 2001)\n"
    ">>> A, J = mirvanta.light_curve_and_jacobian(t, 0.0, 0.01, 25.0, 0.01, mirvanta.Linear(0.6))  # doctest: +SKIP\n";

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef method(const char* name, FastCallWithKeywords call, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

PyMethodDef methods[] = {
    method("magnification_and_gradient", magnification_and_gradient, kGradientDoc),
    method("light_curve_and_jacobian", light_curve_and_jacobian, kJacobianDoc),
};

}  // namespace

std::span<PyMethodDef> gradient_function_table() { return methods; }

}  // namespace mirvanta::module
