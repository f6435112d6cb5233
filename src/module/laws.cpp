#include "module/laws.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "models/engine/law_checks.hpp"
#include "models/engine/law_table.hpp"
#include "models/engine/table_scaling.hpp"
#include "module/conversion.hpp"
#include "module/errors.hpp"
#include "module/process_cache.hpp"
#include "module/py_ref.hpp"

namespace mirvanta::module {
namespace {

using models::kAnalyticLawCount;
using models::kMostCoefficients;
using models::LawDefinition;
using models::LawKind;
using Coefficients = std::array<double, kMostCoefficients>;

// One layout for every law class. The analytic laws keep their coefficients, in order, the rest
// 0; a profile keeps its table as two tuples of floats (what its attributes return) and, for the
// computation, as doubles scaled as models/engine/table_scaling.hpp scales them, radii then
// brightness, with the factor that the source radius takes.
struct LawObject {
    PyObject_HEAD
    LawKind kind;
    double coefficients[kMostCoefficients];
    PyObject* radii;       // tuple of floats (profiles only, else null)
    PyObject* brightness;  // likewise
    Py_ssize_t size;       // entries of the scaled table
    double* table;         // 2 * size doubles, PyMem-allocated (profiles only)
    double source_radius_factor;  // 1 for the coefficient laws
};

// The classes: one per analytic law's definition (models/engine/law_table.hpp), in its order,
// then Profile.
constexpr std::size_t kProfileIndex = kAnalyticLawCount;
constexpr std::size_t kClassCount = kAnalyticLawCount + 1;

const LawDefinition& definition_at(std::size_t index) { return models::law_definitions()[index]; }

// What the Python surface says of an analytic law, made from its definition once per process:
// the keywords of its constructor, the formats of its parsing, repr and faults, its docstring.
struct LawText {
    std::string qualified;  // "mirvanta.Quadratic", the class's __module__ and name
    std::string parse;      // "OO:Quadratic"
    std::string values;     // "a=%R, b=%R"
    std::string doc;
    const char* keywords[kMostCoefficients + 1] = {};
};

std::string docstring(const LawDefinition& law) {
    std::string signature = law.name + std::string("(");
    for (std::size_t i = 0; i < law.coefficient_count; ++i) signature += (i > 0 ? ", " : "") + std::string(law.coefficients[i]);
    return signature + ")\n--\n\n" + law.title + ": " + law.formula +
           ", with mu = sqrt(1 - x^2) the cosine of the angle\n"
           "between the line of sight and the normal to the star's surface, x the radius fraction (0 at the\n"
           "centre, 1 at the limb). Only the shape of the profile matters: magnifications are divided by the\n"
           "law's own flux.\n\n" +
           law.notes;
}

const LawText& text_of(std::size_t index) {
    static const std::array<LawText, kAnalyticLawCount> texts = [] {
        std::array<LawText, kAnalyticLawCount> out;
        for (std::size_t k = 0; k < kAnalyticLawCount; ++k) {
            const LawDefinition& law = definition_at(k);
            LawText& text = out[k];
            text.qualified = std::string("mirvanta.") + law.name;
            text.parse = std::string(law.coefficient_count, 'O') + ":" + law.name;
            for (std::size_t i = 0; i < law.coefficient_count; ++i) {
                text.values += (i > 0 ? ", " : "") + std::string(law.coefficients[i]) + "=%R";
                text.keywords[i] = law.coefficients[i];
            }
            text.doc = docstring(law);
        }
        return out;
    }();
    return texts[index];
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

// The coefficients of an analytic law as a tuple of floats.
PyObject* coefficient_tuple(const LawDefinition& law, const double* c) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(law.coefficient_count)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < law.coefficient_count; ++i) {
        PyObject* item = PyFloat_FromDouble(c[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

// "Name(a=..., b=...)" or, with a prefix, "Name: ... (a=..., b=...)": the coefficients by name.
PyObject* format_values(const std::string& format, const LawDefinition& law, const double* c) {
    PyRef values(coefficient_tuple(law, c));
    if (!values) return nullptr;
    PyObject* v[kMostCoefficients] = {};
    for (std::size_t i = 0; i < law.coefficient_count; ++i) v[i] = PyTuple_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i));
    return PyUnicode_FromFormat(format.c_str(), v[0], v[1], v[2], v[3]);
}

// Raises the ValueError of a table that does not describe a star, naming its first bad index.
void raise_table_fault(const models::LawFault& fault) {
    if (fault.index != models::LawFault::kNoIndex) {
        PyErr_Format(PyExc_ValueError, "Profile: %s %s; the first bad entry is %s[%zu]", fault.parameter, fault.reason,
                     fault.parameter, fault.index);
        return;
    }
    PyErr_Format(PyExc_ValueError, "Profile: %s %s", fault.parameter, fault.reason);
}

// Raises the ValueError of a law that does not describe a star: "Quadratic: a and b make the
// brightness negative somewhere on the disk (a=..., b=...)".
void raise_fault(std::size_t index, const models::LawFault& fault, const double* c) {
    const LawDefinition& law = definition_at(index);
    const std::string format = std::string(law.name) + ": " + fault.parameter + " " + fault.reason + " (" +
                               text_of(index).values + ")";
    PyRef message(format_values(format, law, c));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

PyObject* new_law(PyTypeObject* type, std::size_t index, const Coefficients& c) {
    const LawDefinition& definition = definition_at(index);
    models::BrightnessLaw law{definition.kind, c, {}, {}};
    if (const auto fault = models::law_fault(law)) {
        raise_fault(index, *fault, c.data());
        return nullptr;
    }
    auto* self = reinterpret_cast<LawObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->kind = definition.kind;
    for (std::size_t i = 0; i < kMostCoefficients; ++i) self->coefficients[i] = c[i];
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
    models::BrightnessLaw law{LawKind::tabulated, {}, radii, brightness};
    if (const auto fault = models::law_fault(law)) {
        raise_table_fault(*fault);
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

PyObject* profile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"radii", "brightness", nullptr};
        PyObject *radii = nullptr, *brightness = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Profile", const_cast<char**>(keywords), &radii,
                                         &brightness)) {
            return nullptr;
        }
        return new_profile(type, radii, brightness);
    } catch (const std::bad_alloc&) {
        return raise_current_exception("Profile");
    }
}

template <std::size_t Index>
PyObject* law_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        // Each coefficient as the functions convert a number (a complex or datetime64 value is
        // refused, module/real_numbers.hpp), with the texts of PyArg's own "d" otherwise.
        const LawText& text = text_of(Index);
        PyObject* given[kMostCoefficients] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, text.parse.c_str(), const_cast<char**>(text.keywords), &given[0],
                                         &given[1], &given[2], &given[3])) {
            return nullptr;
        }
        const LawDefinition& definition = definition_at(Index);
        Coefficients c{};
        for (std::size_t i = 0; i < definition.coefficient_count; ++i) {
            if (!to_double(given[i], c[i], definition.coefficients[i])) return nullptr;
        }
        return new_law(type, Index, c);
    } catch (const std::bad_alloc&) {
        return raise_current_exception(definition_at(Index).name);
    }
}

// The law's parameters as a tuple: its coefficients, or (radii, brightness).
PyObject* parameters(const LawObject* law) {
    if (law->kind == LawKind::tabulated) return PyTuple_Pack(2, law->radii, law->brightness);
    return coefficient_tuple(models::definition_of(law->kind), law->coefficients);
}

PyObject* law_repr(PyObject* self) {
    const auto* law = reinterpret_cast<const LawObject*>(self);
    if (law->kind == LawKind::tabulated) {
        return PyUnicode_FromFormat("Profile(radii=%R, brightness=%R)", law->radii, law->brightness);
    }
    const std::size_t index = static_cast<std::size_t>(law->kind) - 1;
    try {
        const LawDefinition& definition = definition_at(index);
        return format_values(std::string(definition.name) + "(" + text_of(index).values + ")", definition,
                             law->coefficients);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
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

// The attribute of the coefficient (or, for a profile, the table) at the getter's index.
PyObject* get_parameter(PyObject* self, void* closure) {
    const auto* law = reinterpret_cast<const LawObject*>(self);
    const auto index = reinterpret_cast<std::uintptr_t>(closure);
    if (law->kind == LawKind::tabulated) return Py_NewRef(index == 0 ? law->radii : law->brightness);
    return PyFloat_FromDouble(law->coefficients[index]);
}

// Linear.from_gamma: the linear law normalised to unit mean, I proportional to
// 1 - Gamma (1 - 3 mu / 2), is 1 - c (1 - mu) once divided by its value at the centre, 1 + Gamma/2:
// c = (3 Gamma / 2) / (1 + Gamma / 2) = 3 Gamma / (2 + Gamma). The brightness stays at or above 0
// (c at most 1, and finite) for Gamma in (-2, 1].
PyObject* linear_from_gamma(PyObject* cls, PyObject* argument) {
    double gamma = 0.0;
    if (!to_double(argument, gamma, "gamma")) return nullptr;
    if (!std::isfinite(gamma)) {
        PyRef value(PyFloat_FromDouble(gamma));
        if (value) PyErr_Format(PyExc_ValueError, "Linear.from_gamma: gamma must be a finite number (gamma=%R)", value.get());
        return nullptr;
    }
    if (!(gamma > -2.0 && gamma <= 1.0)) {
        PyRef value(PyFloat_FromDouble(gamma));
        if (value) {
            PyErr_Format(PyExc_ValueError,
                         "Linear.from_gamma: gamma must be above -2 and at most 1, where the brightness is not "
                         "negative on the disk (gamma=%R)",
                         value.get());
        }
        return nullptr;
    }
    const Coefficients c{3.0 * gamma / (2.0 + gamma)};
    try {
        return new_law(reinterpret_cast<PyTypeObject*>(cls), static_cast<std::size_t>(LawKind::linear) - 1, c);
    } catch (const std::bad_alloc&) {
        return raise_current_exception("Linear.from_gamma");
    }
}

PyMethodDef kLawMethods[] = {
    {"__reduce__", law_reduce, METH_NOARGS, "Pickles the law as its class and parameters."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kLinearMethods[] = {
    {"__reduce__", law_reduce, METH_NOARGS, "Pickles the law as its class and parameters."},
    {"from_gamma", linear_from_gamma, METH_O | METH_CLASS,
     "from_gamma($cls, gamma, /)\n--\n\n"
     "The linear law in the convention of microlensing papers (An et al. 2002, ApJ 572, 521), whose\n"
     "brightness, normalised to unit mean, is I(mu) = 1 - gamma (1 - 3 mu / 2): Linear(c) with\n"
     "c = 3 gamma / (2 + gamma) (the same profile divided by its value at the centre, 1 + gamma / 2).\n"
     "gamma must be above -2 and at most 1 (c at most 1); Linear(c) has gamma = 2 c / (3 - c)."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kProfileDoc[] =
    "Profile(radii, brightness)\n--\n\n"
    "A tabulated brightness profile: brightness[i] at radius fraction radii[i] (0 at the centre, 1 at\n"
    "the limb), linear between the radii and 0 outside them, as the flux maps read bl and bf; two\n"
    "equal radii make a step. Integrated exactly (no annuli). The radii must be ascending within\n"
    "[0, 1], the brightness finite, at least 0 and not 0 everywhere. Only the shape matters: the\n"
    "magnification is divided by the profile's own flux, so the brightness may have any scale, down\n"
    "to subnormal numbers; a table whose brightness ends at a tiny radius is computed as the\n"
    "smaller disk it is. radii and brightness come back as tuples, as given.";

// The class of law `Index` (an analytic law's definition, or Profile), made once per process.
template <std::size_t Index>
PyObject* create_law_class() {
    constexpr bool profile = Index == kProfileIndex;
    static PyGetSetDef getset[kMostCoefficients + 1] = {};
    static PyType_Slot slots[9] = {};
    static PyType_Spec spec = {};
    static const char* names[kMostCoefficients] = {};
    std::size_t count = 2;
    if constexpr (profile) {
        names[0] = "radii";
        names[1] = "brightness";
        slots[0] = {Py_tp_new, reinterpret_cast<void*>(profile_new)};
        slots[1] = {Py_tp_doc, const_cast<char*>(kProfileDoc)};
        spec.name = "mirvanta.Profile";
    } else {
        const LawDefinition& law = definition_at(Index);
        const LawText& text = text_of(Index);
        count = law.coefficient_count;
        for (std::size_t i = 0; i < count; ++i) names[i] = law.coefficients[i];
        slots[0] = {Py_tp_new, reinterpret_cast<void*>(law_new<Index>)};
        slots[1] = {Py_tp_doc, const_cast<char*>(text.doc.c_str())};
        spec.name = text.qualified.c_str();
    }
    for (std::size_t i = 0; i < count; ++i) {
        getset[i] = {names[i], get_parameter, nullptr, nullptr, reinterpret_cast<void*>(static_cast<std::uintptr_t>(i))};
    }
    const bool linear = !profile && definition_at(Index < kProfileIndex ? Index : 0).kind == LawKind::linear;
    slots[2] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    slots[3] = {Py_tp_repr, reinterpret_cast<void*>(law_repr)};
    slots[4] = {Py_tp_richcompare, reinterpret_cast<void*>(law_richcompare)};
    slots[5] = {Py_tp_hash, reinterpret_cast<void*>(law_hash)};
    slots[6] = {Py_tp_getset, getset};
    slots[7] = {Py_tp_methods, linear ? kLinearMethods : kLawMethods};
    spec.basicsize = sizeof(LawObject);
    spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    spec.slots = slots;
    PyRef type(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    // Pattern matching by position: case Quadratic(a, b).
    PyRef match_args(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!match_args) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_FromString(names[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(i), name);
    }
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    if (PyDict_SetItemString(dict, "__match_args__", match_args.get()) < 0) return nullptr;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    return type.release();
}

template <std::size_t Index>
ProcessCache law_class{create_law_class<Index>};

template <std::size_t Index>
PyObject* get_law_class() {
    return law_class<Index>.get();
}

template <std::size_t... Index>
std::array<LawClass, kClassCount> make_classes(std::index_sequence<Index...>) {
    return {LawClass{Index == kProfileIndex ? "Profile" : definition_at(Index < kProfileIndex ? Index : 0).name,
                     get_law_class<Index>}...};
}

const std::array<LawClass, kClassCount> kClasses = make_classes(std::make_index_sequence<kClassCount>{});

// "Linear, Quadratic, ..., Power2 or Profile", for the TypeError of what is not a law.
const std::string kClassList = [] {
    std::string list;
    for (std::size_t i = 0; i < kClassCount; ++i) {
        list += (i == 0 ? "" : i + 1 == kClassCount ? " or " : ", ") + std::string(kClasses[i].name);
    }
    return list;
}();

}  // namespace

std::span<const LawClass> law_classes() { return kClasses; }

bool to_brightness_law(PyObject* object, models::BrightnessLaw& out, double& source_radius_factor) {
    source_radius_factor = 1.0;
    if (object == nullptr || object == Py_None) {
        out = models::BrightnessLaw{};
        return true;
    }
    if (!is_law(object)) {
        PyErr_Format(PyExc_TypeError, "limb must be None (a uniform disk) or a brightness law: %s, not '%.200s'",
                     kClassList.c_str(), Py_TYPE(object)->tp_name);
        return false;
    }
    const auto* law = reinterpret_cast<const LawObject*>(object);
    out = models::BrightnessLaw{law->kind, {}, {}, {}};
    for (std::size_t i = 0; i < kMostCoefficients; ++i) out.coefficients[i] = law->coefficients[i];
    source_radius_factor = law->source_radius_factor;
    if (law->kind == LawKind::tabulated) {
        const auto size = static_cast<std::size_t>(law->size);
        out.radii = std::span<const double>(law->table, size);
        out.brightness = std::span<const double>(law->table + size, size);
    }
    return true;
}

}  // namespace mirvanta::module
