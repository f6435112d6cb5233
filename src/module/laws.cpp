#include "module/laws.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "models/engine/law_checks.hpp"
#include "models/engine/table_scaling.hpp"
#include "module/conversion.hpp"
#include "module/errors.hpp"
#include "module/process_cache.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

using models::LawKind;

// One layout for every law class. Coefficient laws use p and q; a profile keeps its table as two
// tuples of floats (what its attributes return) and, for the computation, as doubles scaled as
// models/engine/table_scaling.hpp scales them, radii then brightness, with the factor that the
// source radius takes.
struct LawObject {
    PyObject_HEAD
    LawKind kind;
    double p;
    double q;
    PyObject* radii;       // tuple of floats (profiles only, else null)
    PyObject* brightness;  // likewise
    Py_ssize_t size;       // entries of the scaled table
    double* table;         // 2 * size doubles, PyMem-allocated (profiles only)
    double source_radius_factor;  // 1 for the coefficient laws
};

// What distinguishes the classes: name, kind, the names of their two parameters.
struct LawTraits {
    const char* name;
    const char* qualified;  // with the module's name, for the class's __module__
    LawKind kind;
    const char* first;
    const char* second;
};

constexpr LawTraits kLinear{"Linear", "mirvanta.Linear", LawKind::linear, "c", nullptr};
constexpr LawTraits kQuadratic{"Quadratic", "mirvanta.Quadratic", LawKind::quadratic, "a", "b"};
constexpr LawTraits kSquareRoot{"SquareRoot", "mirvanta.SquareRoot", LawKind::square_root, "c", "d"};
constexpr LawTraits kPower2{"Power2", "mirvanta.Power2", LawKind::power2, "c", "alpha"};
constexpr LawTraits kProfile{"Profile", "mirvanta.Profile", LawKind::tabulated, "radii", "brightness"};

const LawTraits& traits_of(LawKind kind) {
    switch (kind) {
        case LawKind::linear: return kLinear;
        case LawKind::quadratic: return kQuadratic;
        case LawKind::square_root: return kSquareRoot;
        case LawKind::power2: return kPower2;
        default: return kProfile;
    }
}

void dealloc(PyObject* self) {
    auto* law = reinterpret_cast<LawObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(law->radii);
    Py_XDECREF(law->brightness);
    PyMem_Free(law->table);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

bool is_law(PyObject* object) { return Py_TYPE(object)->tp_dealloc == dealloc; }

// Raises the ValueError of a law that does not describe a star: "Quadratic: a, b makes the
// brightness negative on the disk (a=..., b=...)", or for a table, its first bad index.
void raise_fault(const LawTraits& traits, const models::LawFault& fault, double p, double q) {
    if (fault.index != models::LawFault::kNoIndex) {
        PyErr_Format(PyExc_ValueError, "%s: %s %s; the first bad entry is %s[%zu]", traits.name, fault.parameter,
                     fault.reason, fault.parameter, fault.index);
        return;
    }
    if (traits.kind == LawKind::tabulated) {
        PyErr_Format(PyExc_ValueError, "%s: %s %s", traits.name, fault.parameter, fault.reason);
        return;
    }
    PyRef first(PyFloat_FromDouble(p));
    PyRef second(PyFloat_FromDouble(q));
    if (!first || !second) return;
    if (traits.second == nullptr) {
        PyErr_Format(PyExc_ValueError, "%s: %s %s (%s=%R)", traits.name, fault.parameter, fault.reason, traits.first,
                     first.get());
    } else {
        PyErr_Format(PyExc_ValueError, "%s: %s %s (%s=%R, %s=%R)", traits.name, fault.parameter, fault.reason,
                     traits.first, first.get(), traits.second, second.get());
    }
}

PyObject* new_law(PyTypeObject* type, const LawTraits& traits, double p, double q) {
    models::BrightnessLaw law{traits.kind, p, q, {}, {}};
    if (const auto fault = models::law_fault(law)) {
        raise_fault(traits, *fault, p, q);
        return nullptr;
    }
    auto* self = reinterpret_cast<LawObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->kind = traits.kind;
    self->p = p;
    self->q = q;
    self->source_radius_factor = 1.0;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* float_tuple(const std::vector<double>& values) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

PyObject* new_profile(PyTypeObject* type, PyObject* radii_argument, PyObject* brightness_argument) {
    std::vector<double> radii, brightness;
    if (!to_float_sequence(radii_argument, radii, "radii")) {
        add_parameter_note("radii");
        return nullptr;
    }
    if (!to_float_sequence(brightness_argument, brightness, "brightness")) {
        add_parameter_note("brightness");
        return nullptr;
    }
    models::BrightnessLaw law{LawKind::tabulated, 0.0, 0.0, radii, brightness};
    if (const auto fault = models::law_fault(law)) {
        raise_fault(kProfile, *fault, 0.0, 0.0);
        return nullptr;
    }
    PyRef radii_tuple(float_tuple(radii));
    PyRef brightness_tuple(radii_tuple ? float_tuple(brightness) : nullptr);
    if (!brightness_tuple) return nullptr;
    const models::ScaledTable scaled = models::scale_table(radii, brightness);
    const std::size_t size = scaled.radii.size();
    auto* table = static_cast<double*>(PyMem_Malloc(2 * size * sizeof(double)));
    if (table == nullptr) {
        PyErr_NoMemory();
        const std::string what = "the table, " + count_text(2.0 * static_cast<double>(size)) + " doubles";
        return explain_memory_error("Profile", what.c_str(), 2.0 * static_cast<double>(size) * sizeof(double));
    }
    std::memcpy(table, scaled.radii.data(), size * sizeof(double));
    std::memcpy(table + size, scaled.brightness.data(), size * sizeof(double));
    auto* self = reinterpret_cast<LawObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        PyMem_Free(table);
        return nullptr;
    }
    self->kind = LawKind::tabulated;
    self->radii = radii_tuple.release();
    self->brightness = brightness_tuple.release();
    self->size = static_cast<Py_ssize_t>(size);
    self->table = table;
    self->source_radius_factor = scaled.source_radius_factor;
    return reinterpret_cast<PyObject*>(self);
}

template <const LawTraits& Traits>
PyObject* law_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        static const char* one[] = {Traits.first, nullptr};
        static const char* two[] = {Traits.first, Traits.second, nullptr};
        char** keywords = const_cast<char**>(Traits.second == nullptr ? one : two);
        if constexpr (Traits.kind == LawKind::tabulated) {
            PyObject *radii = nullptr, *brightness = nullptr;
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Profile", keywords, &radii, &brightness)) return nullptr;
            return new_profile(type, radii, brightness);
        } else {
            // Each coefficient as the functions convert a number (a complex or datetime64 value is
            // refused, module/real_numbers.hpp), with the texts of PyArg's own "d" otherwise.
            PyObject *first = nullptr, *second = nullptr;
            const std::string format = std::string(Traits.second == nullptr ? "O:" : "OO:") + Traits.name;
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords, &first, &second)) return nullptr;
            double p = 0.0, q = 0.0;
            if (!to_double(first, p, Traits.first)) return nullptr;
            if (second != nullptr && !to_double(second, q, Traits.second)) return nullptr;
            return new_law(type, Traits, p, q);
        }
    } catch (const std::bad_alloc&) {
        return raise_current_exception(Traits.name);
    }
}

// The law's parameters as a tuple: (c,), (a, b), or (radii, brightness).
PyObject* parameters(const LawObject* law) {
    if (law->kind == LawKind::tabulated) return PyTuple_Pack(2, law->radii, law->brightness);
    if (law->kind == LawKind::linear) return Py_BuildValue("(d)", law->p);
    return Py_BuildValue("(dd)", law->p, law->q);
}

PyObject* law_repr(PyObject* self) {
    const auto* law = reinterpret_cast<const LawObject*>(self);
    const LawTraits& traits = traits_of(law->kind);
    PyRef values(parameters(law));
    if (!values) return nullptr;
    if (traits.second == nullptr) {
        return PyUnicode_FromFormat("%s(%s=%R)", traits.name, traits.first, PyTuple_GET_ITEM(values.get(), 0));
    }
    return PyUnicode_FromFormat("%s(%s=%R, %s=%R)", traits.name, traits.first, PyTuple_GET_ITEM(values.get(), 0),
                                traits.second, PyTuple_GET_ITEM(values.get(), 1));
}

PyObject* law_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(self) != Py_TYPE(other)) Py_RETURN_NOTIMPLEMENTED;
    PyRef mine(parameters(reinterpret_cast<const LawObject*>(self)));
    PyRef theirs(mine ? parameters(reinterpret_cast<const LawObject*>(other)) : nullptr);
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

Py_hash_t law_hash(PyObject* self) {
    const auto* law = reinterpret_cast<const LawObject*>(self);
    PyRef values(parameters(law));
    if (!values) return -1;
    PyRef key(Py_BuildValue("(iO)", static_cast<int>(law->kind), values.get()));
    return key ? PyObject_Hash(key.get()) : -1;
}

PyObject* law_reduce(PyObject* self, PyObject*) {
    PyRef values(parameters(reinterpret_cast<const LawObject*>(self)));
    if (!values) return nullptr;
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), values.get());
}

PyObject* get_first(PyObject* self, void*) {
    const auto* law = reinterpret_cast<const LawObject*>(self);
    if (law->kind == LawKind::tabulated) return Py_NewRef(law->radii);
    return PyFloat_FromDouble(law->p);
}

PyObject* get_second(PyObject* self, void*) {
    const auto* law = reinterpret_cast<const LawObject*>(self);
    if (law->kind == LawKind::tabulated) return Py_NewRef(law->brightness);
    return PyFloat_FromDouble(law->q);
}

PyMethodDef kLawMethods[] = {
    {"__reduce__", law_reduce, METH_NOARGS, "Pickles the law as its class and parameters."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kLinearDoc[] =
    "Linear(c)\n--\n\n"
    "Linear limb darkening: I(mu) = 1 - c (1 - mu), with mu = sqrt(1 - x^2) the cosine of the angle\n"
    "between the line of sight and the normal to the star's surface, x the radius fraction (0 at the\n"
    "centre, 1 at the limb). Only the shape of the profile matters: magnifications are divided by the\n"
    "law's own flux.\n\n"
    "c is the usual linear coefficient u (e.g. Claret's tables). In the convention of microlensing\n"
    "papers that normalise the profile to unit mean, I(mu) = 1 - Gamma (1 - 3 mu / 2), use\n"
    "c = 3 Gamma / (2 + Gamma); conversely Gamma = 2 c / (3 - c).\n\n"
    "c must be at most 1 (the brightness at the limb, 1 - c, is not negative); c < 0 brightens the\n"
    "limb. Linear(0.6) is the law of integrated_witt_mao_magnification.";

constexpr const char kQuadraticDoc[] =
    "Quadratic(a, b)\n--\n\n"
    "Quadratic limb darkening: I(mu) = 1 - a (1 - mu) - b (1 - mu)^2, mu = sqrt(1 - x^2).\n\n"
    "a and b are the usual coefficients u1 and u2 (Claret's tables; Kipping's q1 = (a + b)^2,\n"
    "q2 = a / (2 (a + b))). They must keep the brightness at or above 0 for every mu in [0, 1]:\n"
    "a + b <= 1 and, where b < 0, a^2 <= -4 b when the minimum lies inside.";

constexpr const char kSquareRootDoc[] =
    "SquareRoot(c, d)\n--\n\n"
    "Square-root limb darkening (Diaz-Cordoves & Gimenez 1992):\n"
    "I(mu) = 1 - c (1 - mu) - d (1 - sqrt(mu)), mu = sqrt(1 - x^2).\n\n"
    "c multiplies the linear term and d the square-root term, as in Claret's tables. They must keep\n"
    "the brightness at or above 0 for every mu in [0, 1] (at the limb, 1 - c - d >= 0).";

constexpr const char kPower2Doc[] =
    "Power2(c, alpha)\n--\n\n"
    "Power-2 limb darkening (Hestroffer 1997): I(mu) = 1 - c (1 - mu^alpha), mu = sqrt(1 - x^2).\n\n"
    "Maxted's h1 = 1 - c (1 - 2^-alpha) and h2 = c 2^-alpha give back c = 1 - h1 + h2 and\n"
    "alpha = log2(c / h2). alpha must be above 0 and c at most 1.";

constexpr const char kProfileDoc[] =
    "Profile(radii, brightness)\n--\n\n"
    "A tabulated brightness profile: brightness[i] at radius fraction radii[i] (0 at the centre, 1 at\n"
    "the limb), linear between the radii and 0 outside them, as the flux maps read bl and bf; two\n"
    "equal radii make a step. Integrated exactly (no annuli). The radii must be ascending within\n"
    "[0, 1], the brightness finite, at least 0 and not 0 everywhere. Only the shape matters: the\n"
    "magnification is divided by the profile's own flux, so the brightness may have any scale, down\n"
    "to subnormal numbers; a table whose brightness ends at a tiny radius is computed as the\n"
    "smaller disk it is. radii and brightness come back as tuples, as given.";

template <const LawTraits& Traits, const char* Doc>
PyObject* create_law_class() {
    static PyGetSetDef getset[] = {
        {Traits.first, get_first, nullptr, nullptr, nullptr},
        {Traits.second, get_second, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    if (Traits.second == nullptr) getset[1] = getset[2];
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(law_new<Traits>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(law_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(law_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(law_hash)},
        {Py_tp_getset, getset},
        {Py_tp_methods, kLawMethods},
        {Py_tp_doc, const_cast<char*>(Doc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {Traits.qualified, sizeof(LawObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyRef type(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    // Pattern matching by position: case Quadratic(a, b).
    PyRef match_args(Traits.second == nullptr ? Py_BuildValue("(s)", Traits.first)
                                              : Py_BuildValue("(ss)", Traits.first, Traits.second));
    if (!match_args) return nullptr;
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    if (PyDict_SetItemString(dict, "__match_args__", match_args.get()) < 0) return nullptr;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    return type.release();
}

ProcessCache linear_class{create_law_class<kLinear, kLinearDoc>};
ProcessCache quadratic_class{create_law_class<kQuadratic, kQuadraticDoc>};
ProcessCache square_root_class{create_law_class<kSquareRoot, kSquareRootDoc>};
ProcessCache power2_class{create_law_class<kPower2, kPower2Doc>};
ProcessCache profile_class{create_law_class<kProfile, kProfileDoc>};

const LawClass kClasses[] = {
    {"Linear", [] { return linear_class.get(); }},
    {"Quadratic", [] { return quadratic_class.get(); }},
    {"SquareRoot", [] { return square_root_class.get(); }},
    {"Power2", [] { return power2_class.get(); }},
    {"Profile", [] { return profile_class.get(); }},
};

}  // namespace

std::span<const LawClass> law_classes() { return kClasses; }

bool to_brightness_law(PyObject* object, models::BrightnessLaw& out, double& source_radius_factor) {
    source_radius_factor = 1.0;
    if (object == nullptr || object == Py_None) {
        out = models::BrightnessLaw{};
        return true;
    }
    if (!is_law(object)) {
        PyErr_Format(PyExc_TypeError,
                     "limb must be None (a uniform disk) or a brightness law: Linear, Quadratic, SquareRoot, "
                     "Power2 or Profile, not '%.200s'",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    const auto* law = reinterpret_cast<const LawObject*>(object);
    out = models::BrightnessLaw{law->kind, law->p, law->q, {}, {}};
    source_radius_factor = law->source_radius_factor;
    if (law->kind == LawKind::tabulated) {
        const auto size = static_cast<std::size_t>(law->size);
        out.radii = std::span<const double>(law->table, size);
        out.brightness = std::span<const double>(law->table + size, size);
    }
    return true;
}

}  // namespace mirvanta::module
