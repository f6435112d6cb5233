#include "models/engine/law_checks.hpp"

#include <cmath>

namespace mirvanta::models {
namespace {

constexpr const char* kNotFinite = "must be a finite number";

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
    if (law.kind == LawKind::uniform) return std::nullopt;
    if (law.kind == LawKind::tabulated) return table_fault(law);
    const LawDefinition& definition = definition_of(law.kind);
    for (std::size_t i = 0; i < definition.coefficient_count; ++i) {
        if (!std::isfinite(law.coefficients[i])) return LawFault{definition.coefficients[i], kNotFinite};
    }
    return definition.fault(law.coefficients);
}

}  // namespace mirvanta::models
