// Whether a brightness law describes a star: finite coefficients that keep the brightness at or
// above zero everywhere on the disk, with some flux; a table with ascending radii in [0, 1] and
// finite brightness at or above zero.
#pragma once

#include <cstddef>
#include <optional>

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

struct LawFault {
    static constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);
    const char* parameter;           // the coefficient or table at fault, by its name ("c", "radii", ...)
    const char* reason;              // what is wrong, to follow the parameter's name
    std::size_t index = kNoIndex;    // a table's first bad entry
};

// The first fault of `law`, or none.
std::optional<LawFault> law_fault(const BrightnessLaw& law);

}  // namespace mirvanta::models
