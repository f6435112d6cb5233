// The derivatives of the functions in Einstein radii: magnification_and_gradient and
// light_curve_and_jacobian.
#pragma once

#include <span>

#include "module/compat.hpp"

namespace mirvanta::module {

std::span<PyMethodDef> gradient_function_table();

}  // namespace mirvanta::module
