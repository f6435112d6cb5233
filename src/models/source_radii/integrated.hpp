// Limb-darkened sources by quadrature over the radius fraction x of the source (0 at the centre,
// 1 at the limb). Both evaluate their separations on the worker pool, each separation's
// quadrature on one thread, so that the results do not depend on the pool size.
#pragma once

#include <vector>

namespace mirvanta::models {

// The unmagnified flux of the linear limb-darkening profile 0.4 + 0.6 sqrt(1 - x^2): 0.8 pi to
// 14 digits (1.6e-14 below it). Every limb-darkened result is divided by this value, so it stays
// as it is: a closer one would move them all by that much.
inline constexpr double kLimbDarkenedFlux = 2.5132741228717936;

// Linear limb darkening with coefficient 0.6, from the uniform-disk kernel: the uniform part of
// weight 0.4 plus the sqrt(1 - t^2) part of weight 0.6, integrated as
// int_0^1 (1 - x^2) A(u, rho sqrt(1 - x^2)) dx. Never fails.
std::vector<double> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar);

// The same for one separation l (source radii), rho = rstar / re. With the lens inside the source
// (0 <= l < 1) the disk of radius rho sqrt(1 - x^2) passes through it at x* = sqrt(1 - l^2),
// where the integrand bends; the quadrature then runs over [0, x*] and [x*, 1] and adds the two.
// Otherwise (l >= 1, l < 0, NaN) it runs over [0, 1]. The kernel is evaluated a level of nodes at
// a time on the default lanes.
double integrated_witt_mao_magnification_at(double l, double rho);

// The limb-darkening profile of the ring variant: 1 at the centre, 0.4 at the limb.
double limb_darkening_profile(double x);

// Linear limb darkening with coefficient 0.6, from the ring kernel: per separation,
// int_0^1 2 pi x (A(x) + x/2 A'(x)) profile(x) dx / kLimbDarkenedFlux, with A the ring
// magnification of radius x and A' its central-difference derivative (the radial derivative of
// pi x^2 A(x)). Ring-kernel failures count as NaN, which the quadrature drops; an Einstein radius
// that is negative (re / rstar < 0) gives NaN.
std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar);

}  // namespace mirvanta::models
