// The derivatives of the functions in Einstein radii: magnification_and_gradient and
// light_curve_and_jacobian, for gradient-based fits and Hamiltonian Monte Carlo. The computation
// is models/engine/profile_gradient.hpp's, on the worker pool; arguments are read as for
// magnification and light_curve (module/profile_arguments.hpp).
#include "module/gradient_functions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

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

// The light curve's parameters and its chain rule: u(t) = sqrt(u0^2 + tau^2), tau = (t - t0)/tE,
// du/dt0 = -tau / (tE u), du/du0 = u0 / u, du/dtE = -tau^2 / (tE u). At u = 0 (u0 = 0 at t = t0)
// dA/du is 0 by symmetry: the limit of each product is 0.
struct Trajectory {
    double t0, u0, t_e;
    double separation(double t) const {
        const double tau = (t - t0) / t_e;
        return std::sqrt(u0 * u0 + tau * tau);
    }
    // Row of the Jacobian whose column 0 holds dA/du: columns t0, u0, tE from it.
    void chain(double t, double* row) const {
        const double tau = (t - t0) / t_e;
        const double u = std::sqrt(u0 * u0 + tau * tau);
        const double du = row[0];
        if (u == 0.0) {
            row[0] = row[1] = row[2] = 0.0;
            return;
        }
        row[0] = du * (-tau / (t_e * u));
        row[1] = du * (u0 / u);
        row[2] = du * (-(tau * tau) / (t_e * u));
    }
};

constexpr const char* kJacobianParameters[] = {"t", "t0", "u0", "tE", "rho", "limb", "rtol"};
constexpr FunctionSignature kJacobian{"light_curve_and_jacobian", kJacobianParameters, 5, 6};

bool read_trajectory(PyObject* const* slots, Trajectory& path) {
    if (!read_float(slots[1], "t0", path.t0) || !read_float(slots[2], "u0", path.u0) ||
        !read_float(slots[3], "tE", path.t_e)) {
        return false;
    }
    if (!(path.t_e > 0.0 && std::isfinite(path.t_e))) {
        PyRef value(PyFloat_FromDouble(path.t_e));
        if (value) PyErr_Format(PyExc_ValueError, "tE must be a finite number above 0, not %R", value.get());
        return false;
    }
    if (!std::isfinite(path.t0) || !std::isfinite(path.u0)) {
        PyErr_SetString(PyExc_ValueError, !std::isfinite(path.t0) ? "t0 must be a finite number" : "u0 must be a finite number");
        return false;
    }
    return true;
}

PyObject* light_curve_and_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PythonCallerHook hook(0);
        const ScopedCallerHook installed(hook);
        PyObject* slots[7] = {};
        if (!bind_arguments(kJacobian, args, nargs, kwnames, slots)) return nullptr;
        DoubleArray t, rho;
        Trajectory path{};
        Law law;
        double rtol = kDefaultRtol;
        if (!read_array(slots[0], "t", t) || !read_trajectory(slots, path) || !read_array(slots[4], "rho", rho) ||
            !law.read(slots[5]) || !read_rtol(slots[6], rtol)) {
            return nullptr;
        }
        if (!check_not_negative(rho, "rho", "the source radius in Einstein radii")) return nullptr;
        rho.scale(law.radius_factor, "rho scaled to the profile's table");
        Shape shape;
        if (!broadcast_shapes(t.shape(), rho.shape(), shape)) {
            PyErr_Format(PyExc_ValueError, "rho of shape %s does not broadcast against t of shape %s",
                         shape_text(rho.shape()).c_str(), shape_text(t.shape()).c_str());
            return nullptr;
        }
        const bool arrays = !(t.scalar() && rho.scalar());
        const std::size_t columns = 4 + law.columns;
        Output a, jacobian;
        const char* name = "light_curve_and_jacobian";
        if (!a.make(shape, arrays, name) || !jacobian.make(shape, columns, name)) return nullptr;
        // The separations where the magnifications go, a stretch of times at a time; the engine's
        // dA/du into column 0 (t0's), dA/drho into column 3, the coefficients' into 4 on.
        const models::ArrayView times = as_result(t, shape);
        double* values = a.data();
        for (std::size_t begin = 0; begin < times.size(); begin += kCheckStretch) {
            interruption_point();
            const std::size_t count = std::min(kCheckStretch, times.size() - begin);
            times.gather(begin, count, values + begin);
            for (std::size_t i = begin; i < begin + count; ++i) values[i] = path.separation(values[i]);
        }
        double* j = jacobian.data();
        const models::GradientOutput out{values, j, j + 3, j + 4, columns, columns, columns};
        if (!compute(name, std::span<const double>(values, times.size()), as_result(rho, shape), law, rtol, out)) {
            return nullptr;
        }
        std::vector<double> stretch(std::min(kCheckStretch, times.size()));
        for (std::size_t begin = 0; begin < times.size(); begin += kCheckStretch) {
            interruption_point();
            const std::size_t count = std::min(kCheckStretch, times.size() - begin);
            times.gather(begin, count, stretch.data());
            for (std::size_t i = 0; i < count; ++i) path.chain(stretch[i], j + (begin + i) * columns);
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
    "Parameters are those of light_curve: u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) Einstein radii.\n\n"
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
