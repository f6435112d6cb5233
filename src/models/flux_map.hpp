// Sources whose surface brightness is given as a table: radius fractions `bl` (0 the centre, 1 the
// limb; ascending for the integrated variants) and brightness values `bf`. Each routine first
// checks that the two have the same length; a mismatch is an internal failure (Panic). Each
// evaluates its separations on the worker pool, one separation's sum or quadrature on one thread,
// so that the results do not depend on the pool size.
#pragma once

#include <span>
#include <vector>

#include "models/deferred_error.hpp"

namespace mirvanta::models {

// Sum over the map of bf_j times the ring magnification of radius bl_j: the weights are used as
// they are (a mean only if they sum to 1). The first ring-kernel failure, in the order of l and
// then of the map, ends the call.
ModelResult<std::vector<double>> discrete_flux_map_heyrovsky_magnification(std::vector<double> l, double re,
                                                                          double rstar, std::vector<double> bl,
                                                                          std::vector<double> bf);

// The magnified flux of the interpolated map, built from thin annuli of uniform disks, divided by
// its unmagnified flux.
std::vector<double> integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re, double rstar,
                                                               std::vector<double> bl, std::vector<double> bf);

// The map's brightness at radius fraction x: bf interpolated linearly between the radii bl, 0
// outside them (numerics::linear_interpolate). Borrows the two tables.
struct FluxMapProfile {
    std::span<const double> bl, bf;
    double operator()(double x) const;
};

// The same for one separation l (source radii), rho = rstar / re, the map's unmagnified flux
// `flux` (profile_flux) given: int_0^1 2 pi x annulus_magnification(x) profile(x) dx / flux. With
// the lens inside the source (0 <= l < 1) the annulus passes through it for |x - l| < 1e-4 and
// the integrand bends where it starts and stops doing so, at x = l - 1e-4 (its outer disk reaches
// the lens) and x = l + 1e-4 (its inner disk does); the quadrature then runs between those of
// them that lie inside (0, 1) and adds the pieces, and the flux it divides by is the profile's
// integral over the same pieces, not `flux`. Otherwise it runs over [0, 1]. The kernel is
// evaluated a level of nodes at a time on the default lanes.
double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMapProfile& profile,
                                                     double flux);

// The ring-kernel quadrature with the interpolated map as its profile, divided by its flux.
std::vector<double> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                                std::vector<double> bl, std::vector<double> bf);

// The mean magnification of the annulus of half-width 1e-4 around radius fraction x (cut at the
// centre and the limb), as the area-weighted difference of two uniform disks; u and rho in
// Einstein radii.
double annulus_magnification(double x, double u, double rho);

// The unmagnified flux int_0^1 2 pi x profile(x) dx of the interpolated map.
double profile_flux(std::span<const double> bl, std::span<const double> bf);

}  // namespace mirvanta::models
