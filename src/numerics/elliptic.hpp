// Complete elliptic integrals in the parameter convention (m = k^2, n the characteristic):
//
//   K(m)    = int_0^{pi/2} (1 - m sin^2 t)^(-1/2) dt
//   E(m)    = int_0^{pi/2} (1 - m sin^2 t)^(1/2) dt
//   Pi(n,m) = int_0^{pi/2} (1 - n sin^2 t)^(-1) (1 - m sin^2 t)^(-1/2) dt  (principal value, n > 1)
//
// and Carlson's symmetric integrals RF, RD, RJ and RC from which Pi is built. All are pure
// functions: no state, no allocation, safe to call from any thread.
//
// Accuracy: the worst error in ulps against mpmath at 50 digits, over the families of
// tests/cpp/data/<family>.txt that tools/gen_elliptic_reference.py draws (the inputs below, each
// log-uniform or uniform in its range); build/cpp-tests/tests/cpp/mirvanta_tests prints these
// figures, and fails above each family's tolerance (test_elliptic_reference.cpp).
//
//   integral  family                domain                                             cases  worst ulps
//   K(m)      ellipk_polynomial     0 <= m < 0.9 (the Taylor tables)                     400  1.07
//             ellipk_seams          the tables' row boundaries, their neighbours          35  2.09
//             ellipk_near_one       0.9 <= m < 1 (the AGM), 1 - m down to 2^-52          149  2.52
//             ellipk_negative       -1e6 < m <= -0.05 (the AGM); -1e10, -1e17            154  2.27
//             ellipk_row0_negative  -0.05 < m < 0 (row 0's polynomial beyond its row)     24  310 (7e-14)
//   E(m)      ellipe_polynomial     0 <= m < 0.9                                         400  1.75
//             ellipe_seams          the row boundaries                                    35  2.21
//             ellipe_near_one       0.9 <= m < 1                                         149  3.45
//             ellipe_negative       as K's, and -1e100, -1e300 (m / (m - 1) rounds)      156  5.78
//             ellipe_row0_negative  -0.05 < m < 0                                         24  1.69
//   Pi(n, m)  ellippi_n_in_0_1      0 < n < 0.999, -5 < m < 0.999                        120  3.15
//             ellippi_n_negative    -1e4 < n < -1e-3, -5 < m < 0.999                     120  7.85
//             ellippi_n_above_1     1 + 1e-6 < n < 1 + 1e4 (principal value)             120  3.53
//             ellippi_special       n = m, n = 0, m = 0, n the double above 1             71  4.84
//   RF        rf_xyz                x, y, z in [1e-3, 1e3]                               150  3.45
//             rf_xy0                one of x, y zero                                      90  2.42
//             rf_xyy                two arguments equal                                   90  1.43
//   RC        rc_xy                 x, y in [1e-3, 1e3]                                  120  1.35
//             rc_y_negative         y in [-1e3, -1e-3] (principal value)                  60  2.31
//   RD        rd_xyz                x, y, z in [1e-3, 1e3]                               150  2.72
//             rd_0yz                x = 0                                                 80  2.45
//   RJ        rj_xyzp               x, y, z, p in [1e-3, 1e3]                            150  3.27
//             rj_xyyp               y = z, half with p in [0.85 y, 1.18 y]               120  8.83
//             rj_0yzp               x = 0, z = 1 (as Pi asks for it)                     100  3.12
//             rj_p_negative         p in [-1e3, -1e-3] (principal value)                 100  109
//
// At the ends: K(1) = +inf, E(1) = 1, Pi(n, 1) = +inf for n < 1, K(-inf) = 0, E(-inf) = +inf,
// and Pi(n, m) = +inf for n in (1 - eps, 1); m > 1, n = 1 and NaN are errors (EllipticError).
#pragma once

#include "common/expected.hpp"

namespace mirvanta::numerics {

// A failure of K, E or Pi: a reference to one of a fixed set of static message texts.
struct EllipticError {
    const char* message;
};

using EllipticResult = Expected<double, EllipticError>;

EllipticResult ellipk(double m);
EllipticResult ellipe(double m);
// Characteristic first, parameter second.
EllipticResult ellippi(double n, double m);

// K(m), E(m) and Pi(n, m) for 0 < n, m < 1 from the complements 1 - n and 1 - m, for n and m
// so close to 1 that forming the complements from them would lose their digits (Pi has a
// relative error of about eps / (1 - n) when 1 - n is rounded from n). K and E come from one AGM
// of 1 and sqrt(1 - m), the same mean as RF(0, 1 - m, 1) and its series for 2 RG(0, 1 - m, 1);
// Pi = K + n RJ(0, 1 - m, 1, 1 - n) / 3 (DLMF 19.25.2). 1 - m = 0 gives K = Pi = +inf, E = 1.
// Accuracy, against mpmath at 100 digits over 150 cases with 1 - n in [1e-32, 1e-2] and 1 - m in
// [1 - n, 1), the ranges of the disk's limb zone and the ring's near-ring zone (complements_k,
// complements_e, complements_pi; tools/gen_elliptic_reference.py): K 3.95 ulps, E 7.0 ulps (its
// AGM-series difference, about 1/K, loses a factor of about K/4 as 1 - m goes below 1e-14),
// Pi 4.39 ulps.
struct CompleteIntegrals {
    double k;
    double e;
    double pi;
};
CompleteIntegrals complete_integrals_from_complements(double n, double one_minus_n, double one_minus_m);

// Carlson's integrals check nothing: NaN in, NaN out; a duplication loop that does not converge
// within its step limit gives NaN.
double elliprf(double x, double y, double z);
double elliprd(double x, double y, double z);
double elliprj(double x, double y, double z, double p);
double elliprc(double x, double y);

// RJ(0, y, 1, p), the form in which Pi(n, m) asks for it, with its first duplication step written
// out; the same bits as elliprj(0, y, 1, p) wherever y and p are positive and neither is 1 (and
// neither is NaN), which the caller checks. Its accuracy is rj_0yzp's above.
double elliprj_0y1p(double y, double p);

}  // namespace mirvanta::numerics
