// The arithmetic-geometric mean iterations shared by K, E, RF and RD.
#pragma once

#include <cmath>

#include "numerics/constants.hpp"

namespace mirvanta::numerics {

struct AgmState {
    double a;
    double g;
    double sum = 0.0;  // of 2^(k-2) (a_k - g_k)^2, for the series forms
};

// Steps (a, g) <- ((a + g)/2, sqrt(a g)) until |a - g| < 2.7 eps |a|, at most `max_steps` times;
// the pair then holds the mean, a + g being twice it.
inline AgmState agm(double a, double g, int max_steps) {
    for (int step = 0; step < max_steps; ++step) {
        if (std::fabs(a - g) < kAgmTolerance * std::fabs(a)) break;
        const double next_a = (a + g) / 2.0;
        g = std::sqrt(a * g);
        a = next_a;
    }
    return {a, g};
}

// The same iteration without a step limit, also summing 2^(k-2) (a_k - g_k)^2 over the steps,
// as the series for RG(0, a0^2, g0^2) needs (DLMF 19.22.9). The arguments must not make the
// iteration stall (a0 = 0 < g0 would).
inline AgmState agm_series(double a, double g) {
    double sum = 0.0;
    double weight = 0.25;
    while (std::fabs(a - g) >= kAgmTolerance * std::fabs(a)) {
        const double next_a = (a + g) / 2.0;
        g = std::sqrt(a * g);
        a = next_a;
        weight = 2.0 * weight;
        const double gap = a - g;
        sum = sum + weight * (gap * gap);
    }
    return {a, g, sum};
}

}  // namespace mirvanta::numerics
