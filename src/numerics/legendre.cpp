// K, E and Pi in Legendre's form.
//
// Below m = 0.9, K and E are Taylor polynomials about the centres of ten intervals (the tables in
// elliptic_tables.hpp); the interval is chosen by truncating 20 m toward zero, so -0.05 < m < 0
// also falls into the first interval. From 0.9 to 1 (and for K also at m <= -0.05) they come from
// the arithmetic-geometric mean; E maps a negative m into (0, 1] by the imaginary-modulus
// transformation E(m) = sqrt(1 - m) E(m / (m - 1)) (DLMF 19.7.5). Pi comes from Carlson's RF and
// RJ (DLMF 19.25.2), with the special points n = 0, n = m and n > 1 (DLMF 19.6.5, 19.7.9) handled
// on their own.
#include <cmath>
#include <cstdint>
#include <optional>

#include "numerics/agm.hpp"
#include "numerics/constants.hpp"
#include "numerics/elliptic.hpp"
#include "numerics/elliptic_tables.hpp"
#include "numerics/taylor_rows.hpp"

namespace mirvanta::numerics {
namespace {

constexpr EllipticError kKNaN{"ellipk: Arguments cannot be NAN."};
constexpr EllipticError kKAboveOne{"ellipk: m must not be greater than 1."};
constexpr EllipticError kKUnexpected{"ellipk: Unexpected error."};
constexpr EllipticError kENaN{"ellipe: Arguments cannot be NAN."};
constexpr EllipticError kEAboveOne{"ellipe: m must not be greater than 1."};
constexpr EllipticError kPiNOne{"ellippi: n cannot be 1."};
constexpr EllipticError kPiNaN{"ellippi: Arguments cannot be NAN."};
constexpr EllipticError kPiAboveOne{"ellippi: m must not be greater than 1."};
constexpr EllipticError kPiUnexpected{"ellippi: Unexpected error."};

// Values of n or m below this are treated as -infinity by Pi.
constexpr double kPiLowerBound = -1.7976931348623156e306;

// The interval index floor(20 m) toward zero, or nothing when 20 m is NaN or outside int64.
std::optional<std::int64_t> interval_index(double m) {
    const double t = 20.0 * m;
    if (std::isnan(t) || t < -0x1p63 || t >= 0x1p63) return std::nullopt;
    return static_cast<std::int64_t>(t);
}

double taylor(std::span<const double> c, std::size_t row, double m) {
    const double x = m - tables::kCentres[row];
    double sum = c.back();
    for (std::size_t j = c.size() - 1; j-- > 0;) sum = sum * x + c[j];
    return sum;
}

bool is_polynomial_index(std::int64_t index) { return index >= 0 && index <= 17; }

}  // namespace

EllipticResult ellipk(double m) {
    const auto index = interval_index(m);
    if (!index) {
        if (std::isnan(m)) return kKNaN;
        if (m == -kInfinity) return 0.0;
        if (m > 1.0) return kKAboveOne;
        return kKUnexpected;
    }
    if (is_polynomial_index(*index)) {
        const std::size_t row = taylor_row(*index);
        return taylor(tables::kKRows[row], row, m);
    }
    if (m == 1.0) return kInfinity;
    if (m > 1.0) return kKAboveOne;
    const AgmState mean = agm(1.0, std::sqrt(1.0 - m), 10);
    return kPi / (mean.a + mean.g);
}

EllipticResult ellipe(double m) {
    double scale = 1.0;
    if (m < 0.0) {
        if (m == -kInfinity) return kInfinity;
        scale = std::sqrt(1.0 - m);
        m = m / (m - 1.0);
    }
    const auto index = interval_index(m);
    if (!index) {
        if (std::isnan(m)) return kENaN;
        return kEAboveOne;
    }
    if (is_polynomial_index(*index)) {
        const std::size_t row = taylor_row(*index);
        return scale * taylor(tables::kERows[row], row, m);
    }
    if (m == 1.0) return scale;
    if (m > 1.0) return kEAboveOne;
    // 2 RG(0, 1 - m, 1) by the AGM series (DLMF 19.22.7, 19.22.9).
    const AgmState mean = agm_series(1.0, std::sqrt(1.0 - m));
    const double first = 1.0 + std::sqrt(1.0 - m);
    return scale * (((first * first) / 4.0 - mean.sum) * kPi / (mean.a + mean.g));
}

EllipticResult ellippi(double n, double m) {
    if (n > 1.0 - kEpsilon) {
        if (n < 1.0) return kInfinity;
        if (n == 1.0) return kPiNOne;
        if (n <= 1.0 + kEpsilon) {
            const EllipticResult k = ellipk(m);
            if (!k) return k;
            const EllipticResult e = ellipe(m);
            if (!e) return e;
            return k.value() - e.value() / (1.0 - m);
        }
        // Principal value for n > 1: K(m) - Pi(m/n, m) (DLMF 19.6.5 with 19.25.2).
        return (m * (-1.0 / 3.0)) / n * elliprj(0.0, 1.0 - m, 1.0, 1.0 - m / n);
    }

    double v;
    if ((n > 0.0 || std::isnan(n)) && n != m) {
        v = elliprf(0.0, 1.0 - m, 1.0) + n * elliprj(0.0, 1.0 - m, 1.0, 1.0 - n) / 3.0;
    } else if (n > 0.0) {  // 0 < n = m
        v = (1.0 / (1.0 - m)) * ellipe(m).value_or(kNaN);
    } else if (1.0 - m < kEpsilon) {  // n <= 0, m at 1 or above
        v = -kInfinity;
    } else if (n < 0.0) {
        // DLMF 19.7.9 maps n < 0 onto a characteristic in (0, 1) with the same m.
        const double k = ellipk(m).value_or(kNaN);
        const double rf = elliprf(0.0, 1.0 - m, 1.0);
        const double rj = elliprj(0.0, 1.0 - m, 1.0, (1.0 - m) / (1.0 - n));
        v = m * k / (m - n) - (1.0 - m) * (n * (rf + ((m - n) / (1.0 - n)) * rj / 3.0) / (1.0 - n)) / (m - n);
    } else if (m != 0.0) {  // n = 0
        v = ellipk(m).value_or(kNaN);
    } else {
        v = kHalfPi;
    }
    if (std::isfinite(v)) return v;

    if (std::isnan(n) || std::isnan(m)) return kPiNaN;
    if (m > 1.0) return kPiAboveOne;
    if (m > 1.0 - kEpsilon) return kInfinity;
    if (n < kPiLowerBound || m < kPiLowerBound) return 0.0;
    return kPiUnexpected;
}

CompleteIntegrals complete_integrals_from_complements(double n, double one_minus_n, double one_minus_m) {
    // The AGM below would never close the gap between 1 and sqrt(0).
    if (one_minus_m == 0.0) return {kInfinity, 1.0, kInfinity};
    const double root = std::sqrt(one_minus_m);
    const AgmState mean = agm_series(1.0, root);
    const double k = kPi / (mean.a + mean.g);
    const double first = 1.0 + root;
    const double e = ((first * first) / 4.0 - mean.sum) * k;
    const double pi = k + n * elliprj(0.0, one_minus_m, 1.0, one_minus_n) / 3.0;
    return {k, e, pi};
}

}  // namespace mirvanta::numerics
