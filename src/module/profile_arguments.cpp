#include "module/profile_arguments.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>
#include <string>

#include "common/interruption.hpp"
#include "module/conversion.hpp"
#include "module/laws.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {

// Reads an array argument, with the parameter's note on failure.
bool read_array(PyObject* object, const char* parameter, DoubleArray& out) {
    if (out.read(object, parameter)) return true;
    add_parameter_note(parameter);
    return false;
}

bool read_float(PyObject* object, const char* parameter, double& out) {
    if (to_double(object, out, parameter)) return true;
    add_parameter_note(parameter);
    return false;
}

// ValueError for the first value of `array` below 0: "u must be at least 0 (...); u[2] = -0.5".
// NaN passes: it comes back as NaN.
bool check_not_negative(const DoubleArray& array, const char* parameter, const char* meaning) {
    const auto values = array.values();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i % kCheckStretch == kCheckStretch - 1) interruption_point();
        if (values[i] < 0.0) {
            PyRef value(PyFloat_FromDouble(values[i]));
            if (!value) return false;
            PyErr_Format(PyExc_ValueError, "%s must be at least 0 (%s); %s%s = %R", parameter, meaning, parameter,
                         index_text(array.shape(), i).c_str(), value.get());
            return false;
        }
    }
    return true;
}

bool read_rtol(PyObject* object, double& rtol) {
    rtol = kDefaultRtol;
    if (object == nullptr) return true;
    if (!read_float(object, "rtol", rtol)) return false;
    if (!(rtol > 0.0 && rtol < 1.0)) {
        PyRef value(PyFloat_FromDouble(rtol));
        if (value) PyErr_Format(PyExc_ValueError, "rtol must be above 0 and below 1, not %R", value.get());
        return false;
    }
    return true;
}

bool report_warning(const char* function, const models::ProfileReport& report, std::size_t n, double rtol) {
    if (PyErr_Occurred() != nullptr) return false;  // left by code the call ran
    if (report.unconverged == 0) return true;
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "rtol=%.3g (worst estimated relative error %.2g", rtol,
                  report.worst_estimate);
    const std::string message = std::string(function) + ": " + std::to_string(report.unconverged) + " of " +
                                std::to_string(n) + " values did not reach " + numbers +
                                ", the first at flat index " + std::to_string(report.first_unconverged) +
                                "); they hold the best estimate";
    return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) == 0;
}

// An argument of shape `from` read as the result's shape.
models::ArrayView as_result(const DoubleArray& array, const Shape& shape) {
    if (array.shape() == shape) return models::ArrayView(array.values());
    return broadcast_view(array.values(), array.shape(), shape);
}

namespace {

// ValueError for the first value of `array` that is not `valid`: "tE must be a finite number above
// 0, not -1.0" for a number, "...; tE[1, 0] = -1.0" for an array.
bool check_each(const DoubleArray& array, const char* parameter, bool (*valid)(double), const char* requirement) {
    const auto values = array.values();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i % kCheckStretch == kCheckStretch - 1) interruption_point();
        if (valid(values[i])) continue;
        PyRef value(PyFloat_FromDouble(values[i]));
        if (!value) return false;
        if (array.scalar()) {
            PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", parameter, requirement, value.get());
        } else {
            PyErr_Format(PyExc_ValueError, "%s must be %s; %s%s = %R", parameter, requirement, parameter,
                         index_text(array.shape(), i).c_str(), value.get());
        }
        return false;
    }
    return true;
}

// The shape that the arguments broadcast to; a ValueError naming the first that does not
// broadcast against those before it, and their shapes.
bool broadcast_all(std::span<const DoubleArray* const> arrays, std::span<const char* const> names, Shape& shape) {
    shape = arrays[0]->shape();
    for (std::size_t k = 1; k < arrays.size(); ++k) {
        Shape next;
        if (broadcast_shapes(shape, arrays[k]->shape(), next)) {
            shape = std::move(next);
            continue;
        }
        std::string before, shapes;
        for (std::size_t j = 0; j < k; ++j) {
            before += std::string(j > 0 ? ", " : "") + names[j];
            shapes += std::string(j > 0 ? ", " : "") + shape_text(arrays[j]->shape());
        }
        PyErr_Format(PyExc_ValueError, "%s of shape %s does not broadcast against %s of shape%s %s", names[k],
                     shape_text(arrays[k]->shape()).c_str(), before.c_str(), k > 1 ? "s" : "", shapes.c_str());
        return false;
    }
    return true;
}

// The elements of each event: the product of the trailing axes of `shape` along which none of
// `parameters` varies (the axes where each has extent 1, or is missing); 1 when one of them varies
// along the last axis, every element then an event of its own.
std::size_t event_length(const Shape& shape, std::span<const DoubleArray* const> parameters) {
    std::size_t length = 1;
    for (std::size_t k = 0; k < shape.size(); ++k) {  // from the last axis
        const std::size_t axis = shape.size() - 1 - k;
        for (const DoubleArray* p : parameters) {
            const Shape& own = p->shape();
            if (k < own.size() && own[own.size() - 1 - k] != 1 && shape[axis] != 1) return length;
        }
        length *= static_cast<std::size_t>(shape[axis]);
    }
    return length;
}

bool finite(double x) { return std::isfinite(x); }
bool finite_above_zero(double x) { return x > 0.0 && std::isfinite(x); }

}  // namespace

bool read_light_curve(PyObject* const* slots, DoubleArray (&arrays)[5], models::BrightnessLaw& law, double& rtol,
                      double& radius_factor) {
    for (std::size_t k = 0; k < 5; ++k) {
        if (!read_array(slots[k], kLightCurveParameters[k], arrays[k])) return false;
    }
    radius_factor = 1.0;
    if (!to_brightness_law(slots[5], law, radius_factor)) {
        add_parameter_note("limb");
        return false;
    }
    if (!read_rtol(slots[6], rtol) || !check_each(arrays[3], "tE", finite_above_zero, "a finite number above 0") ||
        !check_each(arrays[1], "t0", finite, "a finite number") ||
        !check_each(arrays[2], "u0", finite, "a finite number") ||
        !check_not_negative(arrays[4], "rho", "the source radius in Einstein radii")) {
        return false;
    }
    arrays[4].scale(radius_factor, "rho scaled to the profile's table");  // module/laws.hpp
    return true;
}

bool LightCurveBatch::broadcast() {
    const DoubleArray* const all[] = {&arrays_[0], &arrays_[1], &arrays_[2], &arrays_[3], &arrays_[4]};
    if (!broadcast_all(all, kLightCurveParameters, shape_)) return false;
    views_.reserve(5);  // Trajectories refers to them
    for (std::size_t k = 0; k < 5; ++k) views_.push_back(as_result(arrays_[k], shape_));
    // Events by trajectory (t0, u0, tE); rho read per element where it varies within them.
    length_ = event_length(shape_, std::span(all).subspan(1, 3));
    one_radius_ = event_length(shape_, std::span(all).subspan(1)) == length_;
    scalar_ = std::all_of(all, all + 5, [](const DoubleArray* a) { return a->scalar(); });
    return true;
}

models::Trajectories LightCurveBatch::trajectories() const {
    return {views_[0], views_[1], views_[2], views_[3], views_[4], length_, one_radius_};
}

}  // namespace mirvanta::module
