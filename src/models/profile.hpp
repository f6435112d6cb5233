// PROVISIONAL interface of the profile engine (replaced by the engine's own header at merge).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "models/brightness_law.hpp"

namespace mirvanta::models {

struct ProfileReport {
    std::size_t unconverged = 0;
    std::size_t first_unconverged = SIZE_MAX;
    double worst_estimate = 0.0;
};

ProfileReport profile_magnification(std::span<const double> u, std::span<const double> rho, const BrightnessLaw& law,
                                    double rtol, double* out);

}  // namespace mirvanta::models
