// fit_fluxes: the weighted least-squares source and blend fluxes of flux = fs A + fb along the last
// axis of A, flux and sigma (broadcast against each other), one fit per row of the other axes,
// returned as a FluxFit named tuple.
#include "module/flux_functions.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "models/fluxes/linear_fluxes.hpp"
#include "module/arrays.hpp"
#include "module/binding.hpp"
#include "module/conversion.hpp"
#include "module/errors.hpp"
#include "module/process_cache.hpp"

namespace mirvanta::module {
namespace {

constexpr const char kFluxFitDoc[] =
    "FluxFit(fs, fb, cov, chi2)\n\n"
    "The result of fit_fluxes, a named tuple: the source flux fs and the blend flux fb of\n"
    "flux = fs A + fb, their covariance cov (rows and columns fs, fb; the inverse of the weighted\n"
    "normal matrix, not rescaled by chi2) and the chi-square of the fit. fs, fb and chi2 are floats\n"
    "for one data set, else arrays of the batch's shape; cov has that shape and (2, 2) after it.";

constexpr const char* kFields[] = {"fs", "fb", "cov", "chi2"};
constexpr const char* kFieldDocs[] = {
    "Source flux: the flux of the unmagnified source, in the unit of flux.",
    "Blend flux: the flux that is not magnified (0.0 with blend=False).",
    "Covariance of (fs, fb), shape (..., 2, 2): the inverse of the normal matrix with weights 1 / sigma**2.",
    "Chi-square of the fit: sum(((flux - fs * A - fb) / sigma) ** 2) along the last axis.",
};

// collections.namedtuple("FluxFit", "fs fb cov chi2", module="mirvanta"), with its documentation.
PyObject* create_flux_fit_class() {
    PyRef collections(PyImport_ImportModule("collections"));
    PyRef factory(collections ? PyObject_GetAttrString(collections.get(), "namedtuple") : nullptr);
    PyRef args(factory ? Py_BuildValue("(s(ssss))", "FluxFit", kFields[0], kFields[1], kFields[2], kFields[3])
                       : nullptr);
    PyRef keywords(args ? Py_BuildValue("{s:s}", "module", "mirvanta") : nullptr);
    PyRef cls(keywords ? PyObject_Call(factory.get(), args.get(), keywords.get()) : nullptr);
    PyRef doc(cls ? PyUnicode_FromString(kFluxFitDoc) : nullptr);
    if (!doc || PyObject_SetAttrString(cls.get(), "__doc__", doc.get()) < 0) return nullptr;
    for (std::size_t i = 0; i < 4; ++i) {
        PyRef field(PyObject_GetAttrString(cls.get(), kFields[i]));
        PyRef field_doc(field ? PyUnicode_FromString(kFieldDocs[i]) : nullptr);
        if (!field_doc || PyObject_SetAttrString(field.get(), "__doc__", field_doc.get()) < 0) return nullptr;
    }
    return cls.release();
}

ProcessCache flux_fit_cache{create_flux_fit_class};

bool read_array(PyObject* object, const char* parameter, DoubleArray& out) {
    if (out.read(object, parameter)) return true;
    add_parameter_note(parameter);
    return false;
}

// ValueError for the first sigma that is not a finite number above 0, by its index in sigma.
bool check_sigma(const DoubleArray& sigma) {
    const auto values = sigma.values();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] > 0.0 && std::isfinite(values[i])) continue;
        PyRef value(PyFloat_FromDouble(values[i]));
        if (value) {
            PyErr_Format(PyExc_ValueError,
                         "sigma must be a finite number above 0 (the uncertainty of each flux); sigma%s = %R",
                         index_text(sigma.shape(), i).c_str(), value.get());
        }
        return false;
    }
    return true;
}

// The broadcast shape of the three arguments, with at least one axis and enough points along the
// last; false with ValueError set.
bool fit_shape(const DoubleArray& a, const DoubleArray& flux, const DoubleArray& sigma, bool blend, Shape& shape) {
    Shape pair;
    if (!broadcast_shapes(a.shape(), flux.shape(), pair) || !broadcast_shapes(pair, sigma.shape(), shape)) {
        PyErr_Format(PyExc_ValueError, "A of shape %s, flux of shape %s and sigma of shape %s do not broadcast",
                     shape_text(a.shape()).c_str(), shape_text(flux.shape()).c_str(),
                     shape_text(sigma.shape()).c_str());
        return false;
    }
    const Py_ssize_t least = blend ? 2 : 1;
    if (shape.empty() || shape.back() < least) {
        PyErr_Format(PyExc_ValueError,
                     "fit_fluxes needs at least %zd point%s along the last axis%s; A, flux and sigma broadcast to "
                     "shape %s",
                     least, blend ? "s" : "", blend ? " (1 with blend=False)" : "", shape_text(shape).c_str());
        return false;
    }
    return true;
}

// The values of `array` read over `shape`, where they lie.
models::ArrayView over_shape(const DoubleArray& array, const Shape& shape) {
    if (array.shape() == shape) return models::ArrayView(array.values());
    return broadcast_view(array.values(), array.shape(), shape);
}

// The ValueError of a data set without a fit, at `batch` (its index in the batch's shape).
void raise_fault(const models::FluxFault& fault, const std::string& batch, bool blend) {
    const std::string where = batch.empty() ? "" : " at batch index " + batch;
    if (fault.kind == models::FluxFault::no_leverage && blend) {
        PyErr_Format(PyExc_ValueError,
                     "A has no leverage on the source and blend fluxes%s: it is constant along the last axis, or "
                     "all the weight is on one point (its weighted spread about its mean is below 1e-12 of its "
                     "root mean square), so fs and fb are not determined apart",
                     where.c_str());
    } else if (fault.kind == models::FluxFault::no_leverage) {
        PyErr_Format(PyExc_ValueError, "A has no leverage on the source flux%s: it is 0 at every point with weight",
                     where.c_str());
    } else {  // checked before the fits; a row's own check agrees
        PyErr_Format(PyExc_ValueError, "fit_fluxes could not fit the data set%s: %s", where.c_str(),
                     fault.kind == models::FluxFault::bad_sigma ? "a sigma is not a finite number above 0"
                                                                : "too few points");
    }
}

// The results of the fits, written row by row: fs, fb and chi2 one value a row, cov four.
struct FitOutputs {
    double* fs;
    double* fb;
    double* cov;
    double* chi2;
};

// A row of n points of `values`: where it lies, or gathered into `buffer`.
std::span<const double> row_of(const models::ArrayView& values, std::size_t first, std::size_t n,
                               std::vector<double>& buffer) {
    if (values.contiguous()) return values.span().subspan(first, n);
    buffer.resize(n);
    values.gather(first, n, buffer.data());
    return buffer;
}

// Fits each row of n points in C order; false with the first refusal raised.
bool fit_rows(const models::ArrayView& a, const models::ArrayView& flux, const models::ArrayView& sigma, std::size_t n,
              bool blend, const Shape& batch, const FitOutputs& out) {
    const std::size_t rows = n == 0 ? 0 : a.size() / n;
    std::vector<double> a_row, flux_row, sigma_row;
    for (std::size_t row = 0; row < rows; ++row) {
        const std::size_t first = row * n;
        const auto fit = models::fit_linear_fluxes(row_of(a, first, n, a_row), row_of(flux, first, n, flux_row),
                                                   row_of(sigma, first, n, sigma_row), blend);
        if (!fit) {
            raise_fault(fit.error(), index_text(batch, row), blend);
            return false;
        }
        const models::LinearFluxes& value = fit.value();
        out.fs[row] = value.source;
        out.fb[row] = value.blend;
        out.chi2[row] = value.chi2;
        double* cov = out.cov + 4 * row;
        cov[0] = value.covariance[0][0];
        cov[1] = value.covariance[0][1];
        cov[2] = value.covariance[1][0];
        cov[3] = value.covariance[1][1];
    }
    return true;
}

// One result array of the batch's shape, or a float (from `scalar`) when the batch has no axes.
class BatchValues {
public:
    bool make(const Shape& batch) {
        array_made_ = !batch.empty();
        return !array_made_ || array_.make(batch, "fit_fluxes");
    }
    double* data() { return array_made_ ? array_.data() : &scalar_; }
    PyObject* release() { return array_made_ ? array_.release() : PyFloat_FromDouble(scalar_); }

private:
    NewArray array_;
    bool array_made_ = false;
    double scalar_ = 0.0;
};

// Fits the data sets of the read arguments and returns their FluxFit.
PyObject* fit_all(const DoubleArray& a, const DoubleArray& flux, const DoubleArray& sigma, bool blend) {
    Shape shape;
    if (!fit_shape(a, flux, sigma, blend, shape)) return nullptr;
    PyObject* cls = flux_fit_class();
    if (cls == nullptr) return nullptr;
    const Shape batch(shape.begin(), shape.end() - 1);
    Shape cov_shape = batch;
    cov_shape.insert(cov_shape.end(), {2, 2});
    BatchValues fs, fb, chi2;
    NewArray cov;
    if (!fs.make(batch) || !fb.make(batch) || !chi2.make(batch) || !cov.make(cov_shape, "fit_fluxes")) return nullptr;
    const auto n = static_cast<std::size_t>(shape.back());
    if (!fit_rows(over_shape(a, shape), over_shape(flux, shape), over_shape(sigma, shape), n, blend, batch,
                  FitOutputs{fs.data(), fb.data(), cov.data(), chi2.data()})) {
        return nullptr;
    }
    PyRef fs_object(fs.release());
    PyRef fb_object(fs_object ? fb.release() : nullptr);
    PyRef cov_object(fb_object ? cov.release() : nullptr);
    PyRef chi2_object(cov_object ? chi2.release() : nullptr);
    if (!chi2_object) return nullptr;
    return PyObject_CallFunctionObjArgs(cls, fs_object.get(), fb_object.get(), cov_object.get(), chi2_object.get(),
                                        nullptr);
}

constexpr const char* kFitFluxesParameters[] = {"A", "flux", "sigma", "blend"};
constexpr FunctionSignature kFitFluxes{"fit_fluxes", kFitFluxesParameters, 3, 3};

PyObject* fit_fluxes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyObject* slots[4] = {};
        if (!bind_arguments(kFitFluxes, args, nargs, kwnames, slots)) return nullptr;
        DoubleArray a, flux, sigma;
        if (!read_array(slots[0], "A", a) || !read_array(slots[1], "flux", flux) ||
            !read_array(slots[2], "sigma", sigma)) {
            return nullptr;
        }
        const int blend = slots[3] == nullptr ? 1 : PyObject_IsTrue(slots[3]);
        if (blend < 0) {
            add_parameter_note("blend");
            return nullptr;
        }
        if (!check_sigma(sigma)) return nullptr;
        return fit_all(a, flux, sigma, blend == 1);
    } catch (...) {
        return raise_current_exception("fit_fluxes");
    }
}

constexpr const char kFitFluxesDoc[] =
    "fit_fluxes(A, flux, sigma, *, blend=True)\n--\n\n"
    "Source and blend fluxes of a light curve, solved linearly: the weighted least-squares fit of\n"
    "flux = fs * A + fb along the last axis, given the model's magnifications A.\n\n"
    "Parameters\n"
    "----------\n"
    "A : array_like\n"
    "    Magnifications of the model at the epochs (e.g. from light_curve), along the last axis.\n"
    "flux : array_like\n"
    "    Observed fluxes at the same epochs, in any unit.\n"
    "sigma : float or array_like\n"
    "    Their uncertainties (finite, above 0), in the unit of flux; the weights are 1 / sigma**2.\n"
    "blend : bool\n"
    "    False fixes fb at 0 (then fb is 0.0, and so are cov's fb row and column).\n\n"
    "A, flux and sigma broadcast against each other as NumPy broadcasts; each row along the last\n"
    "axis of their broadcast shape is a data set of its own, fitted alone.\n\n"
    "Returns\n"
    "-------\n"
    "FluxFit\n"
    "    The named tuple (fs, fb, cov, chi2): fs, fb and chi2 are floats for one data set (a\n"
    "    one-dimensional broadcast shape), else float64 arrays of the broadcast shape without its\n"
    "    last axis; cov has that shape and (2, 2) after it, rows and columns fs, fb. cov is the\n"
    "    formal covariance, the inverse of the normal matrix with weights 1 / sigma**2, not rescaled\n"
    "    by chi2; chi2 = sum(((flux - fs * A - fb) / sigma)**2).\n\n"
    "A NaN or infinite value in A or flux makes fs, fb, cov and chi2 of its data set NaN (with\n"
    "blend=False fb and its row and column stay 0), so that a fitter such as\n"
    "scipy.optimize.least_squares sees a residual that is not finite and steps back.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    A sigma that is not a finite number above 0 (naming its index); shapes that do not\n"
    "    broadcast; fewer than 2 points along the last axis (1 with blend=False); a data set in\n"
    "    which A has no leverage (naming its batch index): with a blend, A constant along the axis\n"
    "    or all the weight on one point, taken as the weighted spread of A about its mean below\n"
    "    1e-12 of its root mean square (the determinant of the normal matrix below 1e-24 of the\n"
    "    product of its diagonal); without one, A 0 at every point.\n"
    "TypeError\n"
    "    An argument that is not an array of real numbers; its note names the parameter.\n\n"
    "The sums are centred (the weighted means first, then the second moments about them), in the\n"
    "order of the points, so that fluxes far from 0 lose no precision.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import numpy as np, mirvanta\n"
    ">>> A = mirvanta.light_curve(np.linspace(-30.0, 30.0, 200), 0.0, 0.1, 20.0, 0.01)\n"
    ">>> mirvanta.fit_fluxes(A, 2.0 * A + 0.5, 0.01)  # doctest: +SKIP\n"
    "FluxFit(fs=2.0, fb=0.5, cov=array([[...]]), chi2=0.0)\n";

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Referred to by the function object for the life of the process.
PyMethodDef methods[] = {
    {"fit_fluxes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(static_cast<FastCallWithKeywords>(fit_fluxes))),
     METH_FASTCALL | METH_KEYWORDS, kFitFluxesDoc},
};

}  // namespace

std::span<PyMethodDef> flux_function_table() { return methods; }

PyObject* flux_fit_class() { return flux_fit_cache.get(); }

}  // namespace mirvanta::module
