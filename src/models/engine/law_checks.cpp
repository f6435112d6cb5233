#include "models/engine/law_checks.hpp"

#include <cmath>

namespace mirvanta::models {
namespace {

constexpr const char* kNotFinite = "must be a finite number";
constexpr const char* kNegativeBrightness = "make the brightness negative somewhere on the disk";

// Whether h(s) = c2 s^2 + c1 s + c0 stays at or above zero for s in [0, 1].
bool nonnegative_on_unit_interval(double c2, double c1, double c0) {
    if (c0 < 0.0 || c2 + c1 + c0 < 0.0) return false;
    if (c2 <= 0.0) return true;  // concave or straight: the ends are the least
    const double vertex = -c1 / (2.0 * c2);
    if (vertex <= 0.0 || vertex >= 1.0) return true;
    return c0 - c1 * c1 / (4.0 * c2) >= 0.0;
}

std::optional<LawFault> table_fault(const BrightnessLaw& law) {
    const auto radii = law.radii;
    const auto brightness = law.brightness;
    if (radii.size() != brightness.size()) return LawFault{"brightness", "must have as many values as radii"};
    if (radii.empty()) return LawFault{"radii", "must hold at least one radius"};
    for (std::size_t i = 0; i < radii.size(); ++i) {
        if (!(radii[i] >= 0.0 && radii[i] <= 1.0)) {
            return LawFault{"radii", "must lie between 0 (the centre) and 1 (the limb)", i};
        }
        if (i > 0 && radii[i] < radii[i - 1]) return LawFault{"radii", "must be in ascending order", i};
        if (!(brightness[i] >= 0.0 && std::isfinite(brightness[i]))) {
            return LawFault{"brightness", "must be finite and at least 0", i};
        }
    }
    // The flux: one radius is that brightness over the whole disk (as the flux maps read a table of
    // one entry); else some piece of positive width with brightness at one of its ends.
    if (radii.size() == 1 && brightness[0] > 0.0) return std::nullopt;
    for (std::size_t i = 1; i < radii.size(); ++i) {
        if (radii[i] > radii[i - 1] && (brightness[i] > 0.0 || brightness[i - 1] > 0.0)) return std::nullopt;
    }
    return LawFault{"brightness", "gives the source no flux: it must be above 0 over some interval"};
}

}  // namespace

std::optional<LawFault> law_fault(const BrightnessLaw& law) {
    const double p = law.p, q = law.q;
    switch (law.kind) {
        case LawKind::uniform:
            return std::nullopt;
        case LawKind::linear:  // 1 - c + c mu, least at the limb
        case LawKind::power2:  // 1 - c + c mu^alpha, likewise for alpha > 0
            if (!std::isfinite(p)) return LawFault{"c", kNotFinite};
            if (law.kind == LawKind::power2 && !(std::isfinite(q) && q > 0.0)) {
                return LawFault{"alpha", "must be a finite number above 0"};
            }
            if (p > 1.0) return LawFault{"c", "makes the brightness negative at the limb: c must be at most 1"};
            return std::nullopt;
        case LawKind::quadratic:  // in w = 1 - mu: 1 - a w - b w^2
            if (!std::isfinite(p)) return LawFault{"a", kNotFinite};
            if (!std::isfinite(q)) return LawFault{"b", kNotFinite};
            if (!nonnegative_on_unit_interval(-q, -p, 1.0)) return LawFault{"a and b", kNegativeBrightness};
            return std::nullopt;
        case LawKind::square_root:  // in s = sqrt(mu): c s^2 + d s + 1 - c - d
            if (!std::isfinite(p)) return LawFault{"c", kNotFinite};
            if (!std::isfinite(q)) return LawFault{"d", kNotFinite};
            if (!nonnegative_on_unit_interval(p, q, 1.0 - p - q)) return LawFault{"c and d", kNegativeBrightness};
            return std::nullopt;
        case LawKind::tabulated:
            return table_fault(law);
    }
    return std::nullopt;
}

}  // namespace mirvanta::models
