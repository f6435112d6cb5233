#include "models/engine/law_table.hpp"

#include <cmath>
#include <iterator>

#include "common/panic.hpp"

namespace mirvanta::models {
namespace {

using Coefficients = std::array<double, kMostCoefficients>;

constexpr const char* kNegativeBrightness = "make the brightness negative somewhere on the disk";

// Whether h(s) = c2 s^2 + c1 s + c0 stays at or above zero for s in [0, 1].
bool nonnegative_on_unit_interval(double c2, double c1, double c0) {
    if (c0 < 0.0 || c2 + c1 + c0 < 0.0) return false;
    if (c2 <= 0.0) return true;  // concave or straight: the ends are the least
    const double vertex = -c1 / (2.0 * c2);
    if (vertex <= 0.0 || vertex >= 1.0) return true;
    return c0 - c1 * c1 / (4.0 * c2) >= 0.0;
}

// p(s) = a[0] + a[1] s + ... + a[degree] s^degree, by Horner's rule.
double polynomial(const double* a, int degree, double s) {
    double value = a[degree];
    for (int i = degree - 1; i >= 0; --i) value = value * s + a[i];
    return value;
}

// The roots of p in (0, 1), ascending, into `roots`; returns their number (at most `degree`).
// Between its turning points (the roots of p', found the same way) p is monotone, and a root lies
// where its sign changes: bisection finds it to the last bit. A root where p only touches zero is
// a turning point, which the caller evaluates.
int roots_in_unit_interval(const double* a, int degree, double* roots) {
    if (degree <= 0) return 0;
    double derivative[4];
    for (int i = 0; i < degree; ++i) derivative[i] = static_cast<double>(i + 1) * a[i + 1];
    double ends[6] = {0.0};
    int n = 1 + roots_in_unit_interval(derivative, degree - 1, ends + 1);
    ends[n++] = 1.0;
    int count = 0;
    for (int j = 0; j + 1 < n; ++j) {
        double lo = ends[j], hi = ends[j + 1];
        const bool rising = polynomial(a, degree, lo) < 0.0;
        if (rising == (polynomial(a, degree, hi) < 0.0)) continue;
        for (;;) {
            const double middle = 0.5 * (lo + hi);
            if (middle <= lo || middle >= hi) break;
            ((polynomial(a, degree, middle) < 0.0) == rising ? lo : hi) = middle;
        }
        roots[count++] = lo;
    }
    return count;
}

// The least value of the quartic p on [0, 1]: at an end or at a root of p' in between.
double least_on_unit_interval(const double (&a)[5]) {
    double least = std::fmin(a[0], polynomial(a, 4, 1.0));
    const double derivative[4] = {a[1], 2.0 * a[2], 3.0 * a[3], 4.0 * a[4]};
    double turning[3];
    const int n = roots_in_unit_interval(derivative, 3, turning);
    for (int i = 0; i < n; ++i) least = std::fmin(least, polynomial(a, 4, turning[i]));
    return least;
}

// 1 - c + c mu, least at the limb.
std::optional<LawFault> linear_fault(const Coefficients& c) {
    if (c[0] > 1.0) return LawFault{"c", "makes the brightness negative at the limb: c must be at most 1"};
    return std::nullopt;
}

// In w = 1 - mu: 1 - a w - b w^2.
std::optional<LawFault> quadratic_fault(const Coefficients& c) {
    if (!nonnegative_on_unit_interval(-c[1], -c[0], 1.0)) return LawFault{"a and b", kNegativeBrightness};
    return std::nullopt;
}

// In s = sqrt(mu): c s^2 + d s + 1 - c - d.
std::optional<LawFault> square_root_fault(const Coefficients& c) {
    if (!nonnegative_on_unit_interval(c[0], c[1], 1.0 - c[0] - c[1])) return LawFault{"c and d", kNegativeBrightness};
    return std::nullopt;
}

// 1 - c + c mu^alpha, least at the limb for alpha > 0.
std::optional<LawFault> power2_fault(const Coefficients& c) {
    if (!(c[1] > 0.0)) return LawFault{"alpha", "must be a finite number above 0"};
    return linear_fault(c);
}

// I = 1 - c + c mu - d mu ln(mu), 1 - c at the limb and 1 at the centre, I'' = -d / mu. For d >= 0
// concave: the least at an end, 1 - c. For d < 0 convex: I' = c - d (ln(mu) + 1) vanishes at
// mu* = exp(c/d - 1), inside (0, 1) when c > d, where I = 1 - c + d mu*; else I falls all the way
// to the centre and the least is the limb's 1 - c > 1.
std::optional<LawFault> logarithmic_fault(const Coefficients& c) {
    const double at_limb = 1.0 - c[0];
    double least = at_limb;
    if (c[1] < 0.0 && c[0] > c[1]) least = std::fmin(at_limb, at_limb + c[1] * std::exp(c[0] / c[1] - 1.0));
    if (least < 0.0) return LawFault{"c and d", kNegativeBrightness};
    return std::nullopt;
}

// In s = sqrt(mu): the quartic 1 - a1 - a2 - a3 - a4 + a1 s + a2 s^2 + a3 s^3 + a4 s^4.
std::optional<LawFault> claret_fault(const Coefficients& c) {
    const double quartic[5] = {1.0 - c[0] - c[1] - c[2] - c[3], c[0], c[1], c[2], c[3]};
    if (least_on_unit_interval(quartic) < 0.0) return LawFault{"a1, a2, a3 and a4", kNegativeBrightness};
    return std::nullopt;
}

// The terms' rules, as constant + factors . coefficients.
constexpr TermRule term(double constant, std::array<double, kMostCoefficients> factor, double power,
                        bool logarithmic = false) {
    return {constant, factor, power, -1, logarithmic};
}

constexpr LawDefinition kDefinitions[] = {
    {LawKind::linear, "Linear", 1, {"c"}, 2,
     {term(1.0, {-1.0}, 0.0), term(0.0, {1.0}, 1.0)},
     linear_fault,
     "Linear limb darkening", "I(mu) = 1 - c (1 - mu)",
     "c is the usual linear coefficient u (e.g. Claret's tables). In the convention of microlensing\n"
     "papers that normalise the profile to unit mean, I(mu) = 1 - Gamma (1 - 3 mu / 2) (An et al.\n"
     "2002), c = 3 Gamma / (2 + Gamma) and Gamma = 2 c / (3 - c): Linear.from_gamma(Gamma) makes it.\n\n"
     "c must be at most 1 (the brightness at the limb, 1 - c, is not negative); c < 0 brightens the\n"
     "limb. Linear(0.6) is the law of integrated_witt_mao_magnification."},
    {LawKind::quadratic, "Quadratic", 2, {"a", "b"}, 3,
     {term(1.0, {-1.0, -1.0}, 0.0), term(0.0, {1.0, 2.0}, 1.0), term(0.0, {0.0, -1.0}, 2.0)},
     quadratic_fault,
     "Quadratic limb darkening", "I(mu) = 1 - a (1 - mu) - b (1 - mu)^2",
     "a and b are the usual coefficients u1 and u2 (Claret's tables; Kipping's q1 = (a + b)^2,\n"
     "q2 = a / (2 (a + b))). They must keep the brightness at or above 0 for every mu in [0, 1]:\n"
     "a + b <= 1 and, where b < 0, a^2 <= -4 b when the minimum lies inside."},
    {LawKind::square_root, "SquareRoot", 2, {"c", "d"}, 3,
     {term(1.0, {-1.0, -1.0}, 0.0), term(0.0, {1.0}, 1.0), term(0.0, {0.0, 1.0}, 0.5)},
     square_root_fault,
     "Square-root limb darkening (Diaz-Cordoves & Gimenez 1992)", "I(mu) = 1 - c (1 - mu) - d (1 - sqrt(mu))",
     "c multiplies the linear term and d the square-root term, as in Claret's tables. They must keep\n"
     "the brightness at or above 0 for every mu in [0, 1] (at the limb, 1 - c - d >= 0)."},
    {LawKind::power2, "Power2", 2, {"c", "alpha"}, 2,
     {term(1.0, {-1.0}, 0.0), TermRule{0.0, {1.0}, 0.0, 1}},
     power2_fault,
     "Power-2 limb darkening (Hestroffer 1997)", "I(mu) = 1 - c (1 - mu^alpha)",
     "Maxted's h1 = 1 - c (1 - 2^-alpha) and h2 = c 2^-alpha give back c = 1 - h1 + h2 and\n"
     "alpha = log2(c / h2). alpha must be above 0 and c at most 1."},
    {LawKind::logarithmic, "Logarithmic", 2, {"c", "d"}, 3,
     {term(1.0, {-1.0}, 0.0), term(0.0, {1.0}, 1.0), term(0.0, {0.0, -1.0}, 1.0, true)},
     logarithmic_fault,
     "Logarithmic limb darkening (Klinglesmith & Sobieski 1970)", "I(mu) = 1 - c (1 - mu) - d mu ln(mu)",
     "c and d are the coefficients e and f of Claret's tables for this law. They must keep the\n"
     "brightness at or above 0 for every mu in [0, 1]: c <= 1 (the limb's 1 - c) and, where d < 0\n"
     "and c > d, 1 - c + d exp(c/d - 1) >= 0 (the least brightness, at mu = exp(c/d - 1)).\n"
     "Logarithmic(c, 0) is Linear(c)."},
    {LawKind::claret, "Claret", 4, {"a1", "a2", "a3", "a4"}, 5,
     {term(1.0, {-1.0, -1.0, -1.0, -1.0}, 0.0), term(0.0, {1.0}, 0.5), term(0.0, {0.0, 1.0}, 1.0),
      term(0.0, {0.0, 0.0, 1.0}, 1.5), term(0.0, {0.0, 0.0, 0.0, 1.0}, 2.0)},
     claret_fault,
     "Claret's four-coefficient limb darkening (Claret 2000)",
     "I(mu) = 1 - a1 (1 - mu^(1/2)) - a2 (1 - mu) - a3 (1 - mu^(3/2)) - a4 (1 - mu^2)",
     "a1 to a4 as in the tables of model stellar atmospheres. They must keep the brightness at or\n"
     "above 0 for every mu in [0, 1] (at the limb, 1 - a1 - a2 - a3 - a4 >= 0; inside, the quartic\n"
     "in sqrt(mu) is checked at its turning points). Claret(0, c, 0, 0) is Linear(c),\n"
     "Claret(d, c, 0, 0) is SquareRoot(c, d) and Claret(0, a + 2 b, 0, -b) is Quadratic(a, b)."},
};

static_assert(std::size(kDefinitions) == kAnalyticLawCount, "one definition for each analytic LawKind");

constexpr bool in_kind_order() {
    for (std::size_t i = 0; i < kAnalyticLawCount; ++i) {
        if (kDefinitions[i].kind != static_cast<LawKind>(i + 1)) return false;
    }
    return true;
}
static_assert(in_kind_order(), "the definitions in the order of LawKind");

}  // namespace

std::span<const LawDefinition> law_definitions() { return kDefinitions; }

const LawDefinition& definition_of(LawKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    if (index < 1 || index > kAnalyticLawCount) throw Panic("definition_of: not an analytic law");
    return kDefinitions[index - 1];
}

std::size_t law_terms(const LawDefinition& definition, const Coefficients& c, std::array<LawTerm, kMostTerms>& out) {
    for (std::size_t j = 0; j < definition.term_count; ++j) {
        const TermRule& rule = definition.terms[j];
        double weight = rule.constant;
        bool started = rule.constant != 0.0;
        for (std::size_t i = 0; i < kMostCoefficients; ++i) {
            if (rule.factor[i] == 0.0) continue;
            const double part = rule.factor[i] * c[i];  // exact for the factors +-1 and 2
            weight = started ? weight + part : part;
            started = true;
        }
        const double power = rule.power_from >= 0 ? c[static_cast<std::size_t>(rule.power_from)] : rule.power;
        out[j] = {weight, power, rule.logarithmic};
    }
    return definition.term_count;
}

}  // namespace mirvanta::models
