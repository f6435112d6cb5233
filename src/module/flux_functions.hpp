// fit_fluxes, the source and blend fluxes of data sets solved linearly (models/fluxes/linear_fluxes.hpp),
// added to the module after the functions in Einstein radii; and its result class FluxFit, a named
// tuple made once per process and listed in __all__ after the brightness laws.
#pragma once

#include <span>

#include "module/compat.hpp"

namespace mirvanta::module {

std::span<PyMethodDef> flux_function_table();

// The FluxFit class, a borrowed reference; null with the exception set when it cannot be made.
PyObject* flux_fit_class();

}  // namespace mirvanta::module
