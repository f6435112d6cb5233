// Magnification of a uniformly bright disk by a point lens: the closed form of Witt & Mao (1994)
// in complete elliptic integrals of the first, second and third kind.
#pragma once

namespace mirvanta::models {

// u: lens to source centre, rho: source radius, both in Einstein radii. Never fails: NaN stands
// for a failed elliptic integral or for input outside the domain below. rho = 0 gives the
// point-source magnification; finite u > 20 rho the expansions of models/kernel/far_field.hpp, which are
// never below 1; the lens within 0.04 rho of the limb the closed form of models/kernel/limb.hpp
// (models/kernel/disk_forms.hpp holds the rule that picks the form).
//
// Accuracy, relative, against the closed form in mpmath at 60 digits plus those it cancels, over
// tests/cpp/data/disk_limb.txt and disk_away.txt together (tools/gen_disk_reference.py: rho in
// [1e-10, 100], u from 0 to 1e6 rho; tiny and huge sources). This table is the one place these
// figures are stated; the forms' own comments cite it. build/cpp-tests/tests/cpp/mirvanta_tests
// prints them per file (DiskZones.*AgainstMpmath: a form's cases here are the sum of its lines).
// The closed form's worst is next to the limb zone, where forming 1 - n from n costs about
// 6 eps / x^2, x = (u - rho)/rho (8.4e-13 at x = 0.04): the data hold 205 cases within
// |x| < 0.0405 there, the worst five of a search of 40,000 among them (7.33e-13 the worst).
//
//   form                                        declared in                   cases  worst
//   closed form, u <= 20 rho off the limb zone  models/kernel/disk_forms.hpp    411  7.4e-13 (next to the limb zone)
//   limb zone, |u - rho| < 0.04 rho             models/kernel/limb.hpp          402  1.4e-15
//   on the limb, u = rho                        models/kernel/limb.hpp           55  3.0e-16
//   mid-field series, 20 rho < u <= 1000 rho    models/kernel/far_field.hpp     126  4.0e-16
//   far-field series, u > 1000 rho              models/kernel/far_field.hpp     102  3.6e-16
//   tiny sources, rho < 1e-100                  models/kernel/disk_forms.hpp     12  1.2e-15
//   huge sources, rho > 2^27 (exactly 1)        models/kernel/disk_forms.hpp     24  1.1e-16
//
// Never below 1: where the closed form cannot resolve the excess over 1 (sources of rho above
// about 100, where it is below 2 / rho^2) and rounding leaves its result below 1, the result is 1.
// Domain: u >= 0 and finite rho >= 0 (rho = 0 is the point source; u = +inf gives exactly 1). A
// negative or NaN u gives NaN, as do a negative, NaN or infinite rho: never a negative value.
double witt_mao_magnification_scaled(double u, double rho);

// The worst relative error of the table above, for a caller whose result rests on a difference of
// two of the kernel's values and must say how far their rounding can take it.
inline constexpr double kWorstDiskError = 7.4e-13;

}  // namespace mirvanta::models
