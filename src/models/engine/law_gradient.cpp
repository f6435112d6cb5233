#include "models/engine/law_gradient.hpp"

#include <algorithm>
#include <span>

namespace mirvanta::models {

std::size_t coefficient_count(const BrightnessLaw& law) {
    switch (law.kind) {
        case LawKind::uniform: return 0;
        case LawKind::linear: return 1;
        case LawKind::tabulated: return law.brightness.size();
        default: return 2;
    }
}

namespace {

// The raw moments int_0^1 2 x x^(2k) I dx, k = 0..kMostMoments, of a law: its flux times the
// moment factors over k + 1.
MomentGradient raw_moments(const PreparedLaw& law) {
    MomentGradient m{};
    for (std::size_t k = 0; k <= kMostMoments; ++k) m[k] = law.flux * law.moment_factor[k] / static_cast<double>(k + 1);
    return m;
}

// dm_k/dc = (k + 1) (dM_k/dc - (M_k / M_0) dM_0/dc) / M_0 from the raw moments M of the law and
// dM/dc of the coefficient (m_k = (k + 1) M_k / M_0).
MomentGradient factor_derivatives(const MomentGradient& moments, const MomentGradient& derivative) {
    MomentGradient d{};
    for (std::size_t k = 1; k <= kMostMoments; ++k) {
        d[k] = static_cast<double>(k + 1) * (derivative[k] - (moments[k] / moments[0]) * derivative[0]) / moments[0];
    }
    return d;
}

// A tabulated profile's moments are linear in its brightness values: dM/db_j is the moments of
// the table with brightness 1 at j and 0 elsewhere, the segments on either side of radius j.
void table_moments(const PreparedLaw& law, LawGradient& g) {
    const std::span<const double> r = law.law.radii;
    const MomentGradient moments = raw_moments(law);
    for (std::size_t j = 0; j < g.count; ++j) {
        MomentGradient d{};
        if (g.count == 1) {
            d = raw_moments(prepare_law(BrightnessLaw{LawKind::uniform}));
        } else {
            for (const std::size_t other : {j - 1, j + 1}) {
                if (other >= g.count || r[std::min(j, other)] == r[std::max(j, other)]) continue;
                const double radii[2] = {r[std::min(j, other)], r[std::max(j, other)]};
                const double unit[2] = {other < j ? 0.0 : 1.0, other < j ? 1.0 : 0.0};
                BrightnessLaw piece = law.law;
                piece.radii = radii;
                piece.brightness = unit;
                const MomentGradient m = raw_moments(prepare_law(piece));
                for (std::size_t k = 0; k <= kMostMoments; ++k) d[k] += m[k];
            }
        }
        g.moments[j] = factor_derivatives(moments, d);
    }
}

}  // namespace

LawGradient law_gradient(const PreparedLaw& law) {
    LawGradient g;
    g.count = coefficient_count(law.law);
    g.moments.assign(g.count, MomentGradient{});
    if (law.law.kind == LawKind::tabulated) {
        table_moments(law, g);
        return g;
    }
    for (std::size_t j = 0; j < g.count; ++j) g.analytic[j].slope.law.kind = LawKind::uniform;  // to come
    return g;
}

}  // namespace mirvanta::models
