#include "models/engine/law_gradient.hpp"

namespace mirvanta::models {

std::size_t coefficient_count(const BrightnessLaw& law) {
    switch (law.kind) {
        case LawKind::uniform: return 0;
        case LawKind::linear: return 1;
        case LawKind::tabulated: return law.brightness.size();
        default: return 2;
    }
}

// Development stand-in: no coefficient derivatives yet (the law table's derivatives come next).
LawGradient law_gradient(const PreparedLaw& law) {
    LawGradient g;
    g.count = coefficient_count(law.law);
    g.moments.assign(g.count, MomentGradient{});
    for (std::size_t j = 0; j < g.count && law.law.kind != LawKind::tabulated; ++j) g.analytic[j].slope.law.kind = LawKind::uniform;
    return g;
}

}  // namespace mirvanta::models
