// Complete elliptic integrals in the parameter convention (m = k^2, n the characteristic):
//
//   K(m)    = int_0^{pi/2} (1 - m sin^2 t)^(-1/2) dt
//   E(m)    = int_0^{pi/2} (1 - m sin^2 t)^(1/2) dt
//   Pi(n,m) = int_0^{pi/2} (1 - n sin^2 t)^(-1) (1 - m sin^2 t)^(-1/2) dt  (principal value, n > 1)
//
// and Carlson's symmetric integrals RF, RD, RJ and RC from which Pi is built. All are pure
// functions: no state, no allocation, safe to call from any thread.
#pragma once

#include "numerics/expected.hpp"

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
// neither is NaN), which the caller checks.
double elliprj_0y1p(double y, double p);

}  // namespace mirvanta::numerics
