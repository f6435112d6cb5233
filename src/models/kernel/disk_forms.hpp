// The forms of the uniform-disk kernel and the rule that picks one for (u, rho). The kernel
// (models/kernel/witt_mao.cpp) and anything else that evaluates the closed form for many separations at
// once share this rule, so that both take the same form, and give the same bits, for every input.
#pragma once

#include <cmath>

#include "models/kernel/far_field.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {

enum class DiskForm {
    point_source,    // rho = 0 (of either sign): NaN for a negative u, +inf for u = 0
    no_source,       // rho < 0, a negative source or Einstein radius: NaN
    infinitely_far,  // u = +inf with 0 <= rho < inf (also where u's product overflowed): exactly 1
    far_field,       // finite u beyond kFarFieldRatio rho: the short series
    mid_field,       // kMidFieldRatio rho < u <= kFarFieldRatio rho: the long series
    tiny_source,     // rho below kTinySource: the kernel scaled by a power of two
    huge_source,     // finite rho beyond kHugeSource, finite u >= 0: exactly 1
    limb,            // the lens within the limb zone: the closed form from 1 - n and 1 - m
    general,         // the closed form in K, E and Pi
};

// Half-width of the limb zone as a fraction of rho: there the closed form's Pi(n, m) is given
// 1 - n = ((u - rho)/(u + rho))^2 directly, since forming it from n = 4 u rho / (u + rho)^2 costs
// a relative error of up to about 6 eps / x^2 in the result, x = (u - rho)/rho: at most 8.4e-13
// at the zone's edge x = 0.04 (measured over 80 000 radii; at x = 0.035 it reaches 9.6e-13).
inline constexpr double kLimbZone = 0.04;

// Below kTinySource, rho^3 and the closed form's other products would underflow; the disk is
// then small enough that A(u, rho) = 2^k A(2^k u, 2^k rho) holds to about (2^k rho)^2 relative.
// Beyond kHugeSource = 2^27, A - 1 < 2 / rho^2 <= 2^-53 everywhere (the integral of A - 1 over
// the whole plane is 2 pi), so the magnification rounds to exactly 1. Accuracy of both: the
// kernel's table (models/kernel/witt_mao.hpp), "tiny sources" and "huge sources".
inline constexpr double kTinySource = 1e-100;
inline constexpr double kHugeSource = 0x1p27;

// The series are tested first, so that every finite u beyond 20 rho takes one whatever rho is.
// u = +inf is infinitely far from any finite source; u = -inf and a NaN u or rho keep the
// general form (NaN), and so does an infinite rho; a negative u takes the general form (NaN) too,
// except for tiny sources, whose scaled kernel gives the same NaN.
inline DiskForm disk_form(double u, double rho) {
    if (u == numerics::kInfinity && rho >= 0.0 && rho < numerics::kInfinity) return DiskForm::infinitely_far;
    if (rho == 0.0) return DiskForm::point_source;
    if (rho < 0.0) return DiskForm::no_source;
    if (u > kMidFieldRatio * rho && u < numerics::kInfinity) {
        return u > kFarFieldRatio * rho ? DiskForm::far_field : DiskForm::mid_field;
    }
    if (rho < kTinySource) return DiskForm::tiny_source;
    if (rho > kHugeSource && rho < numerics::kInfinity && u >= 0.0 && u < numerics::kInfinity) {
        return DiskForm::huge_source;
    }
    if (std::fabs(u - rho) < kLimbZone * rho) return DiskForm::limb;
    return DiskForm::general;
}

// Which lanes of models/kernel/lanes/ evaluate (u, rho): the general form's, the limb zone's off the
// limb itself, or those of the two series; every other argument goes to the scalar kernel. (Not a
// template, so declared here, where the lane files include it before they switch instruction
// sets.)
enum class LaneForm { general, limb, mid_field, far_field, scalar };

inline LaneForm lane_form(double u, double rho) {
    switch (disk_form(u, rho)) {
        case DiskForm::general:
            return LaneForm::general;
        case DiskForm::limb:
            return u != rho ? LaneForm::limb : LaneForm::scalar;
        case DiskForm::mid_field:
            return LaneForm::mid_field;
        case DiskForm::far_field:
            return LaneForm::far_field;
        default:
            return LaneForm::scalar;
    }
}

// The closed form of Witt & Mao, as the kernel evaluates it wherever disk_form() says general:
// NaN when an elliptic integral fails. Its relative error grows toward both ends of that domain,
// as about 6 eps / x^2 next to the limb zone (x = (u - rho)/rho, 8.4e-13 at x = 0.04) and as
// 2.6 eps (u/rho)^2 toward u = 20 rho (2.3e-13). As measured: the kernel's table
// (models/kernel/witt_mao.hpp), "closed form".
double witt_mao_general_form(double u, double rho);

}  // namespace mirvanta::models
