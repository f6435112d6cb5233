// The functions in Einstein radii: magnification, point_source_magnification and light_curve.
// Numbers or arrays of any shape in, a float or a NumPy array of the broadcast shape out
// (module/arrays.hpp); the brightness law from module/laws.hpp; the computation from
// models/engine/profile.hpp, on the worker pool.
#include "module/profile_functions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "models/engine/light_curves.hpp"
#include "models/engine/profile.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/source_radii/witt_mao_batch.hpp"
#include "module/arrays.hpp"
#include "module/binding.hpp"
#include "module/conversion.hpp"
#include "module/errors.hpp"
#include "module/laws.hpp"
#include "module/profile_arguments.hpp"
#include "module/python_caller_hook.hpp"

namespace mirvanta::module {
namespace {

// Runs the profile engine for u and rho (read through their broadcasts) into `out`; warns when
// some values did not reach rtol. The caller hook that lets Ctrl-C stop it is the function's,
// installed for the whole call. False with the exception set.
bool compute(const char* function, const models::ArrayView& u, const models::ArrayView& rho,
             const models::BrightnessLaw& law, double rtol, double* out) {
    const models::ProfileReport report = models::profile_magnification(u, rho, law, rtol, out, nullptr);
    return report_warning(function, report, u.size(), rtol);
}

// The magnifications of separations `u` (already checked) for `rho`, as a float or an array of
// the broadcast shape.
PyObject* magnifications(const char* function, const DoubleArray& u, const DoubleArray& rho,
                         const models::BrightnessLaw& law, double rtol) {
    Shape shape;
    if (!broadcast_shapes(u.shape(), rho.shape(), shape)) {
        PyErr_Format(PyExc_ValueError, "rho of shape %s does not broadcast against u of shape %s",
                     shape_text(rho.shape()).c_str(), shape_text(u.shape()).c_str());
        return nullptr;
    }
    if (u.scalar() && rho.scalar()) {
        double value = 0.0;
        if (!compute(function, u.values(), rho.values(), law, rtol, &value)) return nullptr;
        return PyFloat_FromDouble(value);
    }
    NewArray result;
    if (!result.make(shape, function)) return nullptr;
    if (!compute(function, as_result(u, shape), as_result(rho, shape), law, rtol, result.data())) return nullptr;
    return result.release();
}

constexpr const char* kMagnificationParameters[] = {"u", "rho", "limb", "rtol"};
constexpr FunctionSignature kMagnification{"magnification", kMagnificationParameters, 2, 3};

PyObject* magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PythonCallerHook hook(0);
        const ScopedCallerHook installed(hook);
        PyObject* slots[4] = {};
        if (!bind_arguments(kMagnification, args, nargs, kwnames, slots)) return nullptr;
        DoubleArray u, rho;
        models::BrightnessLaw law;
        double radius_factor = 1.0, rtol = kDefaultRtol;
        if (!read_array(slots[0], "u", u) || !read_array(slots[1], "rho", rho)) return nullptr;
        if (!to_brightness_law(slots[2], law, radius_factor)) {
            add_parameter_note("limb");
            return nullptr;
        }
        if (!read_rtol(slots[3], rtol)) return nullptr;
        if (!check_not_negative(u, "u", "the separation of lens and source centre in Einstein radii") ||
            !check_not_negative(rho, "rho", "the source radius in Einstein radii")) {
            return nullptr;
        }
        rho.scale(radius_factor, "rho scaled to the profile's table");  // module/laws.hpp
        return magnifications("magnification", u, rho, law, rtol);
    } catch (...) {
        return raise_current_exception("magnification");
    }
}

constexpr const char* kPointSourceParameters[] = {"u"};
constexpr FunctionSignature kPointSource{"point_source_magnification", kPointSourceParameters};

PyObject* point_source_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PythonCallerHook hook;
        const ScopedCallerHook installed(hook);
        PyObject* slots[1] = {};
        if (!bind_arguments(kPointSource, args, nargs, kwnames, slots)) return nullptr;
        DoubleArray u;
        if (!read_array(slots[0], "u", u)) return nullptr;
        if (!check_not_negative(u, "u", "the separation of lens and source in Einstein radii")) return nullptr;
        const auto values = u.values();
        if (u.scalar()) return PyFloat_FromDouble(models::witt_mao_magnification_scaled(values[0], 0.0));
        NewArray result;
        if (!result.make(u.shape(), "point_source_magnification")) return nullptr;
        models::point_source_magnification(values, result.data());  // on the pool, stopped by Ctrl-C
        if (PyErr_Occurred() != nullptr) return nullptr;  // left by code the call ran
        return result.release();
    } catch (...) {
        return raise_current_exception("point_source_magnification");
    }
}

constexpr FunctionSignature kLightCurve{"light_curve", kLightCurveParameters, 5, 6};

PyObject* light_curve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PythonCallerHook hook(0);
        const ScopedCallerHook installed(hook);
        PyObject* slots[7] = {};
        if (!bind_arguments(kLightCurve, args, nargs, kwnames, slots)) return nullptr;
        DoubleArray arrays[5];  // t, t0, u0, tE, rho
        models::BrightnessLaw law;
        double rtol = kDefaultRtol;
        double radius_factor = 1.0;
        if (!read_light_curve(slots, arrays, law, rtol, radius_factor)) return nullptr;
        LightCurveBatch batch(arrays);
        if (!batch.broadcast()) return nullptr;
        const models::Trajectories trajectories = batch.trajectories();
        const Shape& shape = batch.shape();
        double value = 0.0;
        NewArray result;
        const bool scalar = batch.scalar();
        if (!scalar && !result.make(shape, "light_curve")) return nullptr;
        double* out = scalar ? &value : result.data();
        const models::ProfileReport report = models::light_curves(trajectories, law, rtol, out, nullptr);
        if (!report_warning("light_curve", report, batch.size(), rtol)) {
            return nullptr;
        }
        return scalar ? PyFloat_FromDouble(value) : result.release();
    } catch (...) {
        return raise_current_exception("light_curve");
    }
}

constexpr const char kMagnificationDoc[] =
    "magnification(u, rho, limb=None, *, rtol=1e-10)\n--\n\n"
    "Magnification of a finite source star by a single point lens.\n\n"
    "Parameters\n"
    "----------\n"
    "u : float or array_like\n"
    "    Separation of the lens from the centre of the source, in Einstein radii (>= 0); any shape.\n"
    "rho : float or array_like\n"
    "    Radius of the source in Einstein radii (>= 0), broadcast against u. rho = 0 is a point source.\n"
    "    Many separations of one radius (a number, or a run of equal radii) are served as one\n"
    "    source, by an interpolant of its own.\n"
    "limb : None, Linear, Quadratic, SquareRoot, Power2, Logarithmic, Claret or Profile\n"
    "    The source's brightness profile: None for a uniformly bright disk (the closed form of Witt &\n"
    "    Mao 1994 in complete elliptic integrals), else a limb-darkening law or a tabulated profile.\n"
    "rtol : float\n"
    "    Relative tolerance of the integral over the source for a limb-darkened or tabulated profile\n"
    "    (the uniform disk is within 7.4e-13 of the exact value whatever it is). A value that cannot\n"
    "    be brought within rtol keeps its best estimate and a RuntimeWarning says how many did not.\n\n"
    "Returns\n"
    "-------\n"
    "float or numpy.ndarray\n"
    "    A float when u and rho are numbers, else a float64 array of their broadcast shape.\n\n"
    "NaN in u or rho gives NaN. A negative u or rho, or shapes that do not broadcast, raise\n"
    "ValueError. Values that are not real numbers raise TypeError: complex (whatever the imaginary\n"
    "part), datetime64 and timedelta64, str and bytes, and masked arrays (pass u.filled(numpy.nan)\n"
    "or u.compressed()). Large arrays are computed on the module's worker pool; Ctrl-C stops the\n"
    "call.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, mirvanta\n"
    ">>> u = np.linspace(0.0, 0.05, 6)\n"
    ">>> mirvanta.magnification(u, 0.01, mirvanta.Quadratic(0.5, 0.2))  # doctest: +SKIP\n";

constexpr const char kPointSourceDoc[] =
    "point_source_magnification(u)\n--\n\n"
    "Magnification of a point source by a point lens, (u^2 + 2) / (u sqrt(u^2 + 4)).\n\n"
    "u : float or array_like, separation in Einstein radii (>= 0), any shape; u = 0 gives inf.\n"
    "Returns a float for a number, else a float64 array of u's shape.";

constexpr const char kLightCurveDoc[] =
    "light_curve(t, t0, u0, tE, rho, limb=None, *, rtol=1e-10)\n--\n\n"
    "Magnification along a straight, uniform lens-source trajectory (a point-lens light curve),\n"
    "for one event or many at once.\n\n"
    "u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) Einstein radii, and the magnification is\n"
    "magnification(u(t), rho, limb, rtol=rtol).\n\n"
    "Parameters\n"
    "----------\n"
    "t : float or array_like\n"
    "    Times of the observations, in the unit of t0 and tE: numbers, not datetime64 (convert them\n"
    "    first, e.g. (t - t_ref) / numpy.timedelta64(1, 'D')).\n"
    "t0 : float or array_like\n"
    "    Time of closest approach.\n"
    "u0 : float or array_like\n"
    "    Impact parameter in Einstein radii (its sign does not matter).\n"
    "tE : float or array_like\n"
    "    Einstein radius crossing time (finite, > 0).\n"
    "rho : float or array_like\n"
    "    Source radius in Einstein radii (>= 0).\n"
    "limb, rtol\n"
    "    As for magnification.\n\n"
    "All five broadcast against each other as NumPy does. Parameters of shape (n, 1) against times\n"
    "of shape (m,) are n events of m epochs each, an (n, m) result. An event is the run of trailing\n"
    "axes along which t0, u0 and tE are all constant (every element, when one of them varies along\n"
    "the last axis); rho may vary within an event, where equal radii are served as one source. Each\n"
    "event's values are those of a call with that event alone, to the bit; events of one radius\n"
    "each run in parallel on the module's worker pool.\n\n"
    "Returns\n"
    "-------\n"
    "float or numpy.ndarray\n"
    "    A float when all five are numbers, else a float64 array of their broadcast shape.\n\n"
    "A tE that is not finite and above 0, a t0 or u0 that is not finite, or a negative rho raise\n"
    "ValueError naming the first bad index; so do shapes that do not broadcast. Ctrl-C stops the call.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, mirvanta\n"
    ">>> t = np.linspace(-50.0, 50.0, 2001)\n"
    ">>> flux = mirvanta.light_curve(t, 0.0, 0.01, 25.0, 0.01, mirvanta.Linear(0.6))  # doctest: +SKIP\n"
    ">>> u0 = np.array([[0.01], [0.05], [0.2]])                 # three events\n"
    ">>> mirvanta.light_curve(t, 0.0, u0, 25.0, 0.01).shape     # doctest: +SKIP\n"
    "(3, 2001)\n";

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef method(const char* name, FastCallWithKeywords call, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

// Referred to by the function objects for the life of the process.
PyMethodDef methods[] = {
    method("magnification", magnification, kMagnificationDoc),
    method("point_source_magnification", point_source_magnification, kPointSourceDoc),
    method("light_curve", light_curve, kLightCurveDoc),
};

}  // namespace

std::span<PyMethodDef> profile_function_table() { return methods; }

}  // namespace mirvanta::module
