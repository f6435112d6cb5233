// E(m), K(m) and Pi(n, m) at once, as the uniform-disk kernel asks for them, with exactly the bits
// of ellipe(m), ellipk(m) and ellippi(n, m); their accuracy is theirs (numerics/elliptic.hpp).
// The bits are compared over 200 000 of the kernel's (n, m), 0 <= m < n < 1 with 1 - n and
// 1 - m / n down to 1e-16, and the special and seam points
// (LegendreTriple.GivesTheBitsOfTheThreeIntegrals, tests/cpp/test_kernel_lanes.cpp).
#pragma once

#include <optional>

namespace mirvanta::numerics {

struct LegendreTriple {
    double e, k, p;
};

// Nothing when one of the three fails. In the common case (legendre_triple_is_common, which
// covers the kernel's general form except for tiny or negative separations) the three share
// their work: one interval index and one Horner loop for E and K below m = 0.9, and above it one
// AGM sequence from (1, sqrt(1 - m)) for E, K and RF, K and RF taking the pair after their own
// step limits; Pi needs no error dispatch there. Elsewhere the three are called in turn.
std::optional<LegendreTriple> legendre_triple(double n, double m);

}  // namespace mirvanta::numerics
