// The arithmetic-geometric mean iterations shared by K, E, RF and RD, on the steps and the loop
// control of numerics/elliptic_steps.hpp, which the lanes run too.
#pragma once

#include "numerics/elliptic_steps.hpp"

namespace mirvanta::numerics {

struct AgmState {
    double a;
    double g;
    double sum = 0.0;  // of 2^(k-2) (a_k - g_k)^2, for the series forms
};

// Steps (a, g) <- ((a + g)/2, sqrt(a g)) until |a - g| < 2.7 eps |a|, at most `max_steps` times;
// the pair then holds the mean, a + g being twice it.
inline AgmState agm(double a, double g, int max_steps) {
    AgmSteps<double> s = agm_start(a, g);
    agm_loop(s, max_steps, [](AgmSteps<double>& next) { agm_step(next); });
    return {s.a, s.g};
}

// The same iteration without a step limit, also summing 2^(k-2) (a_k - g_k)^2 over the steps,
// as the series for RG(0, a0^2, g0^2) needs (DLMF 19.22.9). The arguments must not make the
// iteration stall (a0 = 0 < g0 would).
inline AgmState agm_series(double a, double g) {
    AgmSteps<double> s = agm_start(a, g);
    agm_loop_unlimited(s, [](AgmSteps<double>& next) { agm_series_step(next); });
    return {s.a, s.g, s.sum};
}

}  // namespace mirvanta::numerics
