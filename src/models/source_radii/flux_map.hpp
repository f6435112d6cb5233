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
// they are (a mean only if they sum to 1), the radii in any order. The first ring-kernel
// failure, in the order of l and then of the map, ends the call.
ModelResult<std::vector<double>> discrete_flux_map_heyrovsky_magnification(std::vector<double> l, double re,
                                                                          double rstar, std::vector<double> bl,
                                                                          std::vector<double> bf);

// One piece of the disk between two neighbouring radii of a map, cut to [0, 1] (for a one-point
// map, the whole disk): its brightness is linear there, value + (x - anchor) slope, in a unit of
// the map's own (bf times a power of two), and its unmagnified flux int 2 pi x brightness(x) dx
// over the piece is `flux`, by the same rule as the magnified flux.
struct MapPiece {
    double from, to;
    double anchor, value, slope;
    double flux;

    double brightness(double x) const { return value + (x - anchor) * slope; }
};

// A flux map that is one: its pieces with flux, in ascending order of radius. Pieces without
// flux (dark, outside [0, 1], or of no width, as a step's two equal radii make) are left out.
struct FluxMap {
    std::vector<MapPiece> pieces;
};

// Checks a map for the integrated functions and cuts it into its pieces. A ValueError names the
// first item that makes it no map: a radius that is not a finite number, or below the one before
// it (equal radii, a step, are allowed); a brightness that is negative, infinite or NaN; and
// a map with no flux on the disk (empty, dark everywhere, or with its radii outside [0, 1]).
// The lengths must have been checked.
ModelResult<FluxMap> flux_map(std::span<const double> bl, std::span<const double> bf);

// The magnified flux of the map, built from thin annuli of uniform disks, divided by its
// unmagnified flux. Refuses what is not a map (flux_map).
ModelResult<std::vector<double>> integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re,
                                                                            double rstar, std::vector<double> bl,
                                                                            std::vector<double> bf);

// The same for one separation l (source radii), rho = rstar / re: the sum over the map's pieces of
// int 2 pi x annulus_magnification(x) brightness(x) dx, divided by the sum of their fluxes. The
// rule runs over each piece, so that no corner of the profile lies inside the interval it
// integrates. With the lens inside the source (0 <= l < 1) the annulus passes through it for
// |x - l| < 1e-4, and the integrand bends where that starts and stops, at x = l - 1e-4 (the
// annulus's outer disk reaches the lens) and x = l + 1e-4 (its inner disk does); a piece that
// holds one of them is integrated on either side of it, and its flux taken over the same parts.
// Where the uniform disk of the whole source has no finite value (NaN or negative l, re = 0,
// rstar = 0, rho < 0) the result is that value. The kernel is evaluated a level of nodes at a
// time on the default lanes.
double integrated_flux_map_witt_mao_magnification_at(double l, double rho, const FluxMap& map);

// The ring-kernel quadrature (integrated.hpp) with the map as its profile, over each of its pieces,
// divided by its flux. Refuses what is not a map (flux_map).
ModelResult<std::vector<double>> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re,
                                                                             double rstar, std::vector<double> bl,
                                                                             std::vector<double> bf);

// The mean magnification of the annulus of half-width 1e-4 around radius fraction x (cut at the
// centre and the limb), as the area-weighted difference of two uniform disks; u and rho in
// Einstein radii.
double annulus_magnification(double x, double u, double rho);

}  // namespace mirvanta::models
