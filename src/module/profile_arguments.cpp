#include "module/profile_arguments.hpp"

#include <cstdio>
#include <string>

#include "common/interruption.hpp"
#include "module/conversion.hpp"
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

}  // namespace mirvanta::module
