// Radially symmetric brightness laws of a source star, in mu = sqrt(1 - x^2), x the radius
// fraction (0 at the centre, 1 at the limb). The laws are unnormalised: whatever uses them divides
// by the law's own flux.
#pragma once

#include <cstddef>
#include <span>

namespace mirvanta::models {

enum class LawKind { uniform, linear, quadratic, square_root, power2, tabulated };

struct BrightnessLaw {
    LawKind kind = LawKind::uniform;
    // linear: c, I = 1 - c (1 - mu); quadratic: a, b, I = 1 - a (1 - mu) - b (1 - mu)^2;
    // square_root: c, d, I = 1 - c (1 - mu) - d (1 - sqrt(mu)); power2: c, alpha,
    // I = 1 - c (1 - mu^alpha).
    double p = 0.0, q = 0.0;
    // tabulated: the brightness at each radius, interpolated linearly between the radii and 0
    // outside them (two equal radii are a step); borrowed.
    std::span<const double> radii, brightness;
};

}  // namespace mirvanta::models
