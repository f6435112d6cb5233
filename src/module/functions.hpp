// The module's Python functions, in the order in which they are added to the module.
#pragma once

#include <span>

#include "module/compat.hpp"

namespace mirvanta::module {

std::span<PyMethodDef> function_table();

}  // namespace mirvanta::module
