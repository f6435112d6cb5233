// The brightness laws a Python caller hands to the profile functions: small immutable classes, one
// per analytic law of models/engine/law_table.hpp (Linear, Quadratic, SquareRoot, Power2,
// Logarithmic, Claret: names, coefficients and docstrings from the law's definition), and Profile.
// Each checks its coefficients (or table) when it is made, so that a law object always describes
// a star: a fault is a ValueError naming the coefficient, or the table and its first bad index.
// The classes are made once per process and added to every module object.
#pragma once

#include <span>

#include "models/engine/brightness_law.hpp"
#include "module/compat.hpp"

namespace mirvanta::module {

// The law classes in the order they are listed in __all__; each a borrowed reference, or null
// with an exception set.
struct LawClass {
    const char* name;
    PyObject* (*get)();
};
std::span<const LawClass> law_classes();

// The law of `object`: None is the uniform disk; an instance of a law class is its law, whose
// tables stay borrowed from `object`, scaled as models/engine/table_scaling.hpp says: every source
// radius must be multiplied by `source_radius_factor` (1 but for a table whose brightness ends
// at a tiny radius). False with TypeError set for anything else.
bool to_brightness_law(PyObject* object, models::BrightnessLaw& out, double& source_radius_factor);

}  // namespace mirvanta::module
