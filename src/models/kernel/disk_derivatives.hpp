// Exact derivatives of the uniform-disk magnification A(u, rho) (models/kernel/witt_mao.hpp) with
// respect to the separation u and the source radius rho, both in Einstein radii: what least
// squares with a Jacobian and Hamiltonian Monte Carlo need, and what the limb-darkening laws'
// derivatives are built from.
//
// Each form of the kernel (models/kernel/disk_forms.hpp) has its own, sharing the value's
// elliptic integrals (no new integral is computed):
// - closed form and limb zone: with s = u + rho, G = sqrt((u - rho)^2 + 4) and the kernel's m,
//     dA/du   = -(s G / (2 pi u rho^2)) ((2 - m) K(m) - 2 E(m)) = -8 u H(m) / (s G)^3,
//     dA/drho = (2/rho) (R - A),  R = (2 / (pi s G)) ((u - rho)^2 Pi(n, m) + 2 K(m)).
//   dA/du is the limb's first angular moment (2/rho) <A_point cos t> (Green's theorem for the
//   translated disk), negative for every u > 0; H(m) = 2F1(3/2, 3/2; 3; m) is positive, and its
//   form in K and E cancels only as m -> 0: below m = 0.3 H comes from its series
//   (models/kernel/disk_derivative_series.hpp). R is the mean of the point-source magnification
//   over the limb (the ring magnification of models/kernel/heyrovsky.hpp), from
//   d(rho^2 A)/drho = 2 rho R. The limb zone takes 2 - m as 1 + (1 - m).
// - beyond 20 rho: the kernel's two series differentiated term by term, with more terms than
//   the value's (models/kernel/disk_derivative_series.hpp, tools/derive_disk_derivatives.py).
// - tiny sources (rho < 1e-100): the kernel's scaling A(u, rho) = 2^k A(2^k u, 2^k rho), so
//   both derivatives take 2^(2k).
// - huge sources (rho > 2^27, where A rounds to 1): dA/drho = (2/rho) (R - 1) with R by the
//   ring kernel, and dA/du = -dA/drho (0 at u = 0). Neither stands for more than about 2^-52 of
//   A/rho: A - 1 is below 2/rho^2, and dA/du + dA/drho = (2/rho) (<(A_point - 1)(1 + cos t)>
//   - (A - 1)) over the limb, of order 1/rho^3 (models/kernel/disk_derivatives.cpp).
//
// The limb: A has a (u - rho) log|u - rho| term, so that dA/du tends to -inf and dA/drho to
// +inf as u tends to rho from either side (logarithmically: the disk's limb is bright). On the
// limb itself, u = rho exactly, the result is A = the limb value (the kernel's bits), dA/du =
// -inf and dA/drho = +inf, the limits from both sides. Next to it the derivatives are the large
// finite values they are, to the accuracy below.
//
// Elsewhere: u = 0 gives dA/du = +0 (symmetry) and dA/drho = -4 / (rho^2 sqrt(rho^2 + 4));
// rho = 0 (the point source) gives dA/du = -8 / (u^2 (u^2 + 4)^(3/2)) and dA/drho = 0, since
// A(u, rho) = A_point(u) + O(rho^2); u = rho = 0 gives A = +inf and NaN for both derivatives,
// which have different limits along the two axes; u = +inf gives (1, 0, 0). NaN in any
// argument, a negative u or rho, and an infinite rho give NaN for all three, and so does an
// elliptic integral that fails.
//
// Accuracy, against mpmath.diff of the closed form at 60 digits plus those it cancels, and for
// huge sources against the limb's moment and the ring mean by quadrature (tools/
// gen_disk_derivative_reference.py; tests/cpp/data/disk_derivatives_limb.txt, _away.txt and
// _huge.txt: rho in [1e-10, 100], mostly [1e-6, 100], u from 0 to 1e6 rho, |u - rho| from
// 1e-12 rho to 0.1 rho and the doubles next to the limb): the worst error relative to
// max(|derivative|, A/rho), and relative to the derivative itself where that means something,
// as build/cpp-tests/tests/cpp/mirvanta_tests prints them (DiskDerivatives.*AgainstMpmath,
// *Quadrature; a form's cases are the sum of its lines there):
//
//   form                               cases  dA/du                dA/drho
//   closed form, off the limb zone       214  1.7e-13 (itself)     6.8e-13
//   limb zone, 0 < |u - rho| < 0.04 rho  355  6.9e-16              1.0e-15
//   on the limb, u = rho                      -inf, exactly        +inf, exactly
//   mid-field series, 20 to 1000 rho     102  4.4e-16 (itself)     4.4e-16 (itself)
//   far-field series, beyond 1000 rho    114  4.2e-16 (itself)     4.4e-16 (itself)
//   tiny sources, rho < 1e-100            24  7.1e-16              1.2e-13
//   huge sources, rho > 2^27              32  1.4e-15              1.5e-15
//
// Tiny sources below rho of about 1e-154 give +-inf where the derivatives exceed the largest
// double (they are of order 1/rho^2). dA/du cancels nowhere, so its error is relative to itself
// (the closed form's 1.7e-13 is that of K and E at the kernel's rounded m next to the limb
// zone). dA/drho = (2/rho) (R - A) carries the value's error (about 6 eps / x^2 next to the
// limb zone, 2.6 eps (u/rho)^2 towards 20 rho) on the scale A/rho: where dA/drho is far smaller
// than A/rho, outside the disk beyond a few rho, its error relative to itself is larger, about
// 3e-10 at u = 20 rho for rho below 0.1, and more for larger sources, whose dA/drho there is
// below 1e-5 of A/rho.
#pragma once

#include <span>

namespace mirvanta::models {

struct DiskDerivatives {
    double value;  // A(u, rho), the bits of witt_mao_magnification_scaled(u, rho)
    double du;     // dA/du
    double drho;   // dA/drho
};

// u: lens to source centre, rho: source radius, both in Einstein radii; the domain, the forms
// and the accuracy are the header's above. Never fails: NaN stands for what the kernel gives NaN
// for, or for an elliptic integral that failed.
DiskDerivatives witt_mao_derivatives(double u, double rho);

// out[i] = witt_mao_derivatives(u, radii[i]) for every i, to the bit: the value and both
// derivatives at the nodes of a radial quadrature. out[i] = witt_mao_derivatives(u[i], rho) for
// every i, to the bit: many separations of one source. Both on the lanes of the value's range
// kernels (models/kernel/witt_mao_range.hpp, which defines them), the derivatives from the same
// elliptic integrals and series as the values, whatever the order of the arguments.
void witt_mao_derivatives_radii(double u, std::span<const double> radii, DiskDerivatives* out);
void witt_mao_derivatives_at(std::span<const double> u, double rho, DiskDerivatives* out);

}  // namespace mirvanta::models
