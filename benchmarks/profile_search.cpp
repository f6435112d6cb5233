// A randomized accuracy search of the profile engine (models/engine/profile.hpp): separations one a call
// (the quadrature and the series), every law (tabulated profiles too), rho log-uniform over
// [1e-4, 100], the lens 1e-5 to 1e-1 source radii inside or outside the limb, or as near the
// centre, or anywhere within 2 rho; each at rtol 1e-6, 1e-8, 1e-10 and 1e-12 against the engine
// itself at 1e-13. The promise checked: a result within rtol, or reported as not.
//
//   profile_search [CASES [SEED [WORST [edge]]]]
//       CASES separations (default 30000), drawn from SEED (default 1); prints per rtol and per
//       law the worst error / rtol of the results reported converged and how many are above
//       rtol (and how many were reported not converged), then the WORST (default 20) worst
//       cases as lines "law c1 c2 c3 c4 rho l u rtol value reference ratio" (the law's coefficients,
//       0 beyond its own; l = u / rho; tabulated profiles as "tabulated K -", K the table) for an
//       independent check by mpmath.
//       With "edge", the lens is on the limb or within 1e-12 to 1e-5 source radii of it instead.
//       Exits 1 when a converged result is above rtol.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "models/engine/law_checks.hpp"
#include "models/engine/profile.hpp"

namespace {

using mirvanta::models::BrightnessLaw;
using mirvanta::models::LawKind;

// splitmix64: the same draws on every machine and library.
struct Draws {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double between(double a, double b) { return a + (b - a) * uniform(); }
    double log_between(double a, double b) { return a * std::pow(b / a, uniform()); }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

const char* kLawNames[] = {"uniform", "linear", "quadratic", "square_root", "power2", "logarithmic", "claret", "tabulated"};

// Tables: the quadratic law (a = 0.5, b = 0.2) sampled at 10 radii with its drop at the limb, a
// ring with a step, and random ones drawn at start.
struct Table {
    std::vector<double> radii, brightness;
};

std::vector<Table> make_tables(Draws& draws) {
    std::vector<Table> tables;
    tables.push_back({{0.0, 0.3, 0.5, 0.7, 0.8, 0.9, 0.95, 0.98, 0.99, 1.0},
                      {1.0, 0.97, 0.9, 0.78, 0.69, 0.56, 0.47, 0.39, 0.35, 0.3}});
    tables.push_back({{0.2, 0.5, 0.5, 0.8}, {0.5, 1.0, 0.6, 0.2}});
    for (int k = 0; k < 6; ++k) {
        Table t;
        const std::size_t n = 3 + draws.below(30);
        for (std::size_t j = 0; j < n; ++j) t.radii.push_back(draws.uniform());
        std::sort(t.radii.begin(), t.radii.end());
        if (k % 2 == 0) {  // reaching the limb and the centre
            t.radii.front() = 0.0;
            t.radii.back() = 1.0;
        }
        for (std::size_t j = 0; j < n; ++j) t.brightness.push_back(draws.between(0.05, 1.0));
        tables.push_back(t);
    }
    return tables;
}

struct Case {
    BrightnessLaw law;
    std::size_t table;  // for a tabulated profile
    double rho, l;
};

Case draw_case(Draws& draws, const std::vector<Table>& tables, bool edge) {
    Case c{};
    const std::size_t kind = 1 + draws.below(7);
    c.law.kind = static_cast<LawKind>(kind);
    switch (c.law.kind) {
        case LawKind::linear: c.law.coefficients[0] = draws.between(0.0, 1.0); break;
        case LawKind::quadratic: {  // I >= 0 on the disk: a + b <= 1
            c.law.coefficients[0] = draws.between(-0.2, 1.0);
            c.law.coefficients[1] = draws.between(std::max(-0.5, -c.law.coefficients[0]), 1.0 - c.law.coefficients[0]);
            break;
        }
        case LawKind::square_root: {
            c.law.coefficients[0] = draws.between(0.0, 1.0);
            c.law.coefficients[1] = draws.between(0.0, 1.0 - c.law.coefficients[0]);
            break;
        }
        case LawKind::power2:
            c.law.coefficients[0] = draws.between(0.0, 1.0);
            c.law.coefficients[1] = draws.log_between(0.1, 5.0);
            break;
        case LawKind::logarithmic:  // drawn again until the brightness is not negative
            do {
                c.law.coefficients[0] = draws.between(-0.2, 1.0);
                c.law.coefficients[1] = draws.between(-1.0, 1.0);
            } while (mirvanta::models::law_fault(c.law));
            break;
        case LawKind::claret:
            do {
                for (double& a : c.law.coefficients) a = draws.between(-1.5, 1.5);
            } while (mirvanta::models::law_fault(c.law));
            break;
        default: {
            c.table = draws.below(tables.size());
            c.law.radii = tables[c.table].radii;
            c.law.brightness = tables[c.table].brightness;
            break;
        }
    }
    c.rho = draws.log_between(1e-4, 100.0);
    if (edge) {  // on the limb, or within 1e-12 to 1e-5 of it
        const double d = draws.log_between(1e-12, 1e-5);
        switch (draws.below(3)) {
            case 0: c.l = 1.0 - d; break;
            case 1: c.l = 1.0 + d; break;
            default: c.l = 1.0; break;
        }
        return c;
    }
    const double d = draws.log_between(1e-5, 1e-1);
    switch (draws.below(4)) {
        case 0: c.l = 1.0 - d; break;
        case 1: c.l = 1.0 + d; break;
        case 2: c.l = d; break;
        default: c.l = draws.between(0.0, 2.0); break;
    }
    return c;
}

constexpr double kTolerances[] = {1e-6, 1e-8, 1e-10, 1e-12};
constexpr std::size_t kLaws = 8;

struct Tally {
    std::size_t cases = 0, above = 0, reported = 0;
    double worst = 0.0;
};

struct Worst {
    Case c;
    double rtol, value, reference, ratio;
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t cases = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 30000;
    Draws draws{argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1};
    const std::size_t keep = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 20;
    const bool edge = argc > 4 && std::string(argv[4]) == "edge";
    const std::vector<Table> tables = make_tables(draws);

    Tally tally[std::size(kTolerances)][kLaws];
    std::vector<Worst> worst;
    unsigned long long evaluations = 0;
    for (std::size_t i = 0; i < cases; ++i) {
        const Case c = draw_case(draws, tables, edge);
        const double u = c.l * c.rho;
        double reference = 0.0;
        mirvanta::models::profile_magnification(std::span<const double>(&u, 1), std::span<const double>(&c.rho, 1),
                                                c.law, 1e-13, &reference);
        for (std::size_t k = 0; k < std::size(kTolerances); ++k) {
            const double rtol = kTolerances[k];
            double value = 0.0;
            mirvanta::models::ProfileCounts counts;
            const auto report = mirvanta::models::profile_magnification(
                std::span<const double>(&u, 1), std::span<const double>(&c.rho, 1), c.law, rtol, &value, &counts);
            evaluations += counts.disk_evaluations_quadrature;
            Tally& t = tally[k][static_cast<std::size_t>(c.law.kind)];
            ++t.cases;
            if (report.unconverged != 0) {
                ++t.reported;
                continue;
            }
            const double ratio = std::fabs(value - reference) / std::fabs(reference) / rtol;
            t.worst = std::max(t.worst, ratio);
            if (ratio > 1.0) ++t.above;
            worst.push_back({c, rtol, value, reference, ratio});
            if (worst.size() > 4 * keep + 64) {
                std::nth_element(worst.begin(), worst.begin() + static_cast<std::ptrdiff_t>(keep), worst.end(),
                                 [](const Worst& a, const Worst& b) { return a.ratio > b.ratio; });
                worst.resize(keep);
            }
        }
    }

    std::size_t above = 0;
    std::printf("%zu separations, %llu uniform-disk evaluations in the quadratures (all rtol)\n", cases, evaluations);
    std::printf("%-8s %-12s %7s %12s %6s %9s\n", "rtol", "law", "cases", "worst/rtol", "above", "reported");
    for (std::size_t k = 0; k < std::size(kTolerances); ++k) {
        Tally all;
        for (std::size_t law = 1; law < kLaws; ++law) {
            const Tally& t = tally[k][law];
            std::printf("%-8g %-12s %7zu %12.3g %6zu %9zu\n", kTolerances[k], kLawNames[law], t.cases, t.worst, t.above,
                        t.reported);
            all.cases += t.cases;
            all.above += t.above;
            all.reported += t.reported;
            all.worst = std::max(all.worst, t.worst);
        }
        std::printf("%-8g %-12s %7zu %12.3g %6zu %9zu\n", kTolerances[k], "all", all.cases, all.worst, all.above,
                    all.reported);
        above += all.above;
    }
    std::sort(worst.begin(), worst.end(), [](const Worst& a, const Worst& b) { return a.ratio > b.ratio; });
    if (worst.size() > keep) worst.resize(keep);
    std::printf("worst cases: law c1 c2 c3 c4 rho l u rtol value reference ratio\n");
    for (const Worst& w : worst) {
        if (w.c.law.kind == LawKind::tabulated) {
            std::printf("tabulated %zu - - - ", w.c.table);
        } else {
            const auto& a = w.c.law.coefficients;
            std::printf("%s %.17g %.17g %.17g %.17g ", kLawNames[static_cast<std::size_t>(w.c.law.kind)], a[0], a[1], a[2],
                        a[3]);
        }
        std::printf("%.17g %.17g %.17g %g %.17g %.17g %.3g\n", w.c.rho, w.c.l, w.c.l * w.c.rho, w.rtol, w.value, w.reference, w.ratio);
    }
    return above == 0 ? 0 : 1;
}
