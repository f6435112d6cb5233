// The functions in Einstein radii, added to the module after the eight functions of
// module/functions.hpp, in this order: magnification, point_source_magnification, light_curve.
#pragma once

#include <span>

#include "module/compat.hpp"

namespace mirvanta::module {

std::span<PyMethodDef> profile_function_table();

}  // namespace mirvanta::module
