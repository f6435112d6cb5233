// Whether a brightness law describes a star: finite coefficients that keep the brightness at or
// above zero everywhere on the disk, with some flux (each analytic law's rule is in its
// definition, law_table.cpp); a table with ascending radii in [0, 1] and finite brightness at or
// above zero.
#pragma once

#include <cstddef>
#include <optional>

#include "models/engine/brightness_law.hpp"
#include "models/engine/law_table.hpp"

namespace mirvanta::models {

// The first fault of `law`, or none.
std::optional<LawFault> law_fault(const BrightnessLaw& law);

}  // namespace mirvanta::models
