// For tests and benchmarks only: the limb-darkened and flux-map quadratures with their nodes
// evaluated as the caller says, on the lanes of the caller's path (which must be available), so
// that every way can be compared with the one-node-at-a-time reference: the same bits whatever
// the two say. Production code evaluates a level of nodes at a time on the default path.
#pragma once

#include "models/kernel/witt_mao_range.hpp"
#include "models/source_radii/flux_map.hpp"
#include "models/source_radii/radial_integrands.hpp"

namespace mirvanta::models {

// integrated_witt_mao_magnification_at (models/source_radii/integrated.hpp) and
// integrated_flux_map_witt_mao_magnification_at (models/source_radii/flux_map.hpp).
double integrated_witt_mao_magnification_at(double l, double rho, NodeEvaluation nodes, KernelPath path);
double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMap& map, NodeEvaluation nodes,
                                                     KernelPath path);

}  // namespace mirvanta::models
