#include "models/engine/law_gradient.hpp"

#include <algorithm>
#include <span>

#include "models/engine/law_table.hpp"

namespace mirvanta::models {

std::size_t coefficient_count(const BrightnessLaw& law) {
    switch (law.kind) {
        case LawKind::uniform: return 0;
        case LawKind::tabulated: return law.brightness.size();
        default: return definition_of(law.kind).coefficient_count;
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

// An analytic law's derivative in coefficient j, dI/dc_j, term by term: a term whose weight has
// the factor f for c_j gives f mu^p (ln mu); a term whose power is c_j (power-2's alpha) gives
// w mu^p ln(mu).
void analytic_coefficient(const PreparedLaw& law, std::size_t j, CoefficientDerivative& out, MomentGradient& moments) {
    const LawDefinition& definition = definition_of(law.law.kind);
    LawTerm terms[kMostTerms];
    bool fixed[kMostTerms];
    std::size_t count = 0;
    for (std::size_t t = 0; t < law.term_count; ++t) {
        const TermRule& rule = definition.terms[t];
        const bool fixed_power = rule.power_from < 0;
        if (rule.factor[j] != 0.0) {
            terms[count] = {rule.factor[j], law.terms[t].power, law.terms[t].logarithmic};
            fixed[count++] = fixed_power;
        }
        if (rule.power_from == static_cast<int>(j)) {
            terms[count] = {law.terms[t].weight, law.terms[t].power, true};
            fixed[count++] = false;
        }
    }
    out.slope = prepare_terms(std::span<const LawTerm>(terms, count), std::span<const bool>(fixed, count));
    const MomentGradient d = term_moments(std::span<const LawTerm>(terms, count));
    out.flux = d[0];
    moments = factor_derivatives(raw_moments(law), d);
    // The limb's share w_0 / N: term 0 is the constant, whose weight has the factor of c_j.
    const double w0 = law.terms[0].weight, w0_d = definition.terms[0].factor[j];
    out.limb_weight = (w0_d - (w0 / law.flux) * out.flux) / law.flux;
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
    for (std::size_t j = 0; j < g.count; ++j) analytic_coefficient(law, j, g.analytic[j], g.moments[j]);
    return g;
}

}  // namespace mirvanta::models
