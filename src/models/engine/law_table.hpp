// The analytic brightness laws, each defined once: its name and coefficients, its brightness as a
// sum of basis terms in mu = sqrt(1 - x^2), the rule that it describes a star, and the text that
// documents it. The engine derives the flux, the moments, the slope dI/dmu and its singularity at
// the limb from the terms (brightness_law.cpp); the checks take the rule (law_checks.cpp); the
// Python surface makes one class per definition (src/module/laws.cpp).
//
// Adding a law: a LawKind before `tabulated` (brightness_law.hpp), and its definition in
// law_table.cpp, at the same place among the others.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

struct LawFault {
    static constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);
    const char* parameter;           // the coefficient or table at fault, by its name ("c", "radii", ...)
    const char* reason;              // what is wrong, to follow the parameter's name
    std::size_t index = kNoIndex;    // a table's first bad entry
};

// One basis term, weight(c) mu^power, times ln(mu) where `logarithmic`. The weight is affine in
// the coefficients: constant + factor[0] c[0] + factor[1] c[1] + ..., added in that order, a zero
// constant or factor left out (so that 1 - a - b is (1 - a) - b, and a + 2b is a + 2b). The power
// is `power`, or the coefficient `power_from` where that is not -1 (power-2's alpha).
struct TermRule {
    double constant;
    std::array<double, kMostCoefficients> factor;
    double power;
    int power_from = -1;
    bool logarithmic = false;
};

struct LawDefinition {
    LawKind kind;
    const char* name;  // the Python class's, "SquareRoot"
    std::size_t coefficient_count;
    std::array<const char*, kMostCoefficients> coefficients;  // their names, in constructor order
    std::size_t term_count;
    std::array<TermRule, kMostTerms> terms;  // term 0 the constant (power 0, not logarithmic)
    // Beyond finite coefficients, which are checked first: the brightness at or above 0 everywhere
    // on the disk (mu in [0, 1]; with I(1) = 1 that also gives the source some flux), and any
    // range of a coefficient. Null when the coefficients are fine.
    std::optional<LawFault> (*fault)(const std::array<double, kMostCoefficients>& c);
    const char* title;    // "Linear limb darkening"
    const char* formula;  // "I(mu) = 1 - c (1 - mu)"
    const char* notes;    // what the coefficients are, their conventions and range: the docstring's body
};

// The analytic laws are the kinds between uniform and tabulated, in the order of LawKind, which
// is the order the Python surface lists them in.
inline constexpr std::size_t kAnalyticLawCount = static_cast<std::size_t>(LawKind::tabulated) - 1;

// Every analytic law, kAnalyticLawCount of them, in the order of LawKind.
std::span<const LawDefinition> law_definitions();

// The definition of an analytic law's kind (not uniform or tabulated).
const LawDefinition& definition_of(LawKind kind);

// The terms of `law`, weights and powers from its coefficients; returns their number.
std::size_t law_terms(const LawDefinition& definition, const std::array<double, kMostCoefficients>& c,
                      std::array<LawTerm, kMostTerms>& out);

}  // namespace mirvanta::models
