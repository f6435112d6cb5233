#include "numerics/legendre_triple.hpp"

#include <cmath>
#include <cstdint>

#include "numerics/agm.hpp"
#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"
#include "numerics/elliptic_steps.hpp"
#include "numerics/taylor_rows.hpp"

namespace mirvanta::numerics {
namespace {

std::optional<LegendreTriple> one_by_one(double n, double m) {
    const EllipticResult e = ellipe(m);
    if (!e) return std::nullopt;
    const EllipticResult k = ellipk(m);
    if (!k) return std::nullopt;
    const EllipticResult p = ellippi(n, m);
    if (!p) return std::nullopt;
    return LegendreTriple{e.value(), k.value(), p.value()};
}

// The AGM from (1, g) as K (at most 10 steps), RF (at most 11) and E's series (until it
// converges) each run it: the same pairs, step by step, so one sequence serves all three. The
// tests |a - g| < tol |a| of the limited loops and |a - g| >= tol |a| of the series are each
// other's negation for the finite pairs of the common case.
struct SharedAgm {
    AgmState k, rf, e;
};

SharedAgm shared_agm(double g) {
    AgmSteps<double> s = agm_start(1.0, g);
    const auto series_step = [](AgmSteps<double>& next) { agm_series_step(next); };
    SharedAgm out{};
    if (agm_loop(s, 10, series_step)) {  // K took the pair of its 10th step, RF takes the next
        out.k = {s.a, s.g};
        series_step(s);
        out.rf = {s.a, s.g};
        agm_loop_unlimited(s, series_step);
    } else {
        out.k = out.rf = {s.a, s.g};
    }
    out.e = {s.a, s.g, s.sum};
    return out;
}

}  // namespace

std::optional<LegendreTriple> legendre_triple(double n, double m) {
    if (!legendre_triple_is_common(n, m)) return one_by_one(n, m);
    // E's factor sqrt(1 - m) for negative m is 1 here, and 1 x is x.
    const double y = 1.0 - m;
    const double root = std::sqrt(y);
    const auto index = static_cast<std::int64_t>(20.0 * m);  // 0..19 for 0 <= m < 1
    LegendreTriple out;
    AgmState rf;
    if (index <= 17) {
        const std::size_t row = taylor_row(index);
        const double x = m - tables::kCentres[row];
        const auto& k = kTaylorRows.k[row];
        const auto& e = kTaylorRows.e[row];
        std::size_t j = kTaylorRows.degree[row];
        double k_sum = k[j];
        double e_sum = e[j];
        while (j-- > 0) {
            k_sum = k_sum * x + k[j];
            e_sum = e_sum * x + e[j];
        }
        out.e = e_sum;
        out.k = k_sum;
        rf = agm(1.0, root, 11);
    } else {
        const SharedAgm mean = shared_agm(root);
        const double first = 1.0 + root;
        out.e = ((first * first) / 4.0 - mean.e.sum) * kPi / (mean.e.a + mean.e.g);
        out.k = kPi / (mean.k.a + mean.k.g);
        rf = mean.rf;
    }
    out.p = kPi / (rf.a + rf.g) + n * elliprj_0y1p(y, 1.0 - n) / 3.0;
    if (!std::isfinite(out.p)) {  // Pi decides what that means
        const EllipticResult p = ellippi(n, m);
        if (!p) return std::nullopt;
        out.p = p.value();
    }
    return out;
}

}  // namespace mirvanta::numerics
