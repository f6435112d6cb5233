#include "models/engine/profile_table_gradient.hpp"

#include <algorithm>
#include <cmath>

#include "models/engine/law_gradient.hpp"
#include "models/engine/law_table.hpp"
#include "models/engine/profile_table_derivative_errors.hpp"
#include "models/engine/profile_tables_data.hpp"

namespace mirvanta::models {
namespace {

namespace data = tables;

constexpr std::size_t kPieces = data::kXPieces;
constexpr std::size_t kNodesX = data::kNodesX;
constexpr std::size_t kNodesRho = data::kNodesRho;
static_assert(data::kDerivativeErrorX.size() == kTableBases * data::kRhoPieces * kPieces);
static_assert(data::kDerivativeErrorLogRho.size() == data::kDerivativeErrorX.size());
static_assert(kPieces == TableGradient::kPieces && kNodesX == TableGradient::kNodes);

// The sum of a Chebyshev series c[0..n) at t (Clenshaw).
double clenshaw(const double* c, double t) {
    double b1 = 0.0, b2 = 0.0;
    for (std::size_t j = kNodesX - 1; j > 0; --j) {
        const double next = 2.0 * t * b1 - b2 + c[j];
        b2 = b1;
        b1 = next;
    }
    return t * b1 - b2 + c[0];
}

// The coefficients of a series' derivative in t, in place: d_(k-1) = d_(k+1) + 2 k c_k from the
// top (d_n = d_(n-1) = 0), and d_0 halved.
void differentiate(double* c) {
    std::array<double, kNodesX + 1> d{};
    for (std::size_t k = kNodesX - 1; k > 0; --k) d[k - 1] = d[k + 1] + 2.0 * static_cast<double>(k) * c[k];
    d[0] *= 0.5;
    std::copy(d.begin(), d.begin() + kNodesX, c);
}

}  // namespace

std::array<bool, kTableBases> TableLawDerivatives::used() const {
    std::array<bool, kTableBases> out{};
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t j = 0; j < kTableBases; ++j) out[j] = out[j] || scaled[k][j] != 0.0;
    }
    return out;
}

TableLawDerivatives table_law_derivatives(const PreparedLaw& law) {
    TableLawDerivatives out;
    if (law.law.kind == LawKind::uniform || law.law.kind == LawKind::tabulated) return out;
    const LawDefinition& definition = definition_of(law.law.kind);
    out.count = definition.coefficient_count;
    for (std::size_t t = 0; t < definition.term_count; ++t) {
        const TermRule& rule = definition.terms[t];
        std::size_t j = 0;
        while (j < kTableBases && kTablePowers[j] != rule.power) ++j;
        if (j == kTableBases) continue;  // not a law of the bases: table_law says so
        for (std::size_t k = 0; k < out.count; ++k) out.scaled[k][j] += rule.factor[k] * kTableFluxes[j];
    }
    return out;
}

TableGradient::TableGradient(double rho, const TableLaw& law, const TableLawDerivatives& coefficients)
    : rho_(rho), law_(law), coefficients_(coefficients), bases_(rho, [&] {
          std::array<bool, kTableBases> used = law.used(), more = coefficients.used();
          for (std::size_t j = 0; j < kTableBases; ++j) used[j] = used[j] || more[j];
          return used;
      }()) {
    const TableRadius where = table_radius(rho);
    std::array<double, kNodesRho> chebyshev{}, slope{};
    chebyshev[0] = 1.0;
    chebyshev[1] = where.t;
    slope[1] = 1.0;
    for (std::size_t k = 2; k < kNodesRho; ++k) {
        chebyshev[k] = 2.0 * where.t * chebyshev[k - 1] - chebyshev[k - 2];
        slope[k] = 2.0 * chebyshev[k - 1] + 2.0 * where.t * slope[k - 1] - slope[k - 2];
    }
    for (std::size_t q = 0; q < kPieces; ++q) {
        double* dx = &dx_[q * kNodesX];
        double* dlog = &dlog_[q * kNodesX];
        for (std::size_t b = 0; b < kTableBases; ++b) {
            const double weight = law.scaled[b];
            if (weight == 0.0) continue;
            const std::size_t at = (b * data::kRhoPieces + where.piece) * kPieces + q;
            const double* c = &data::kCoefficients[at * kNodesX * kNodesRho];
            for (std::size_t j = 0; j < kNodesX; ++j) {
                double value = 0.0, across = 0.0;
                for (std::size_t k = 0; k < kNodesRho; ++k) {
                    value += c[j * kNodesRho + k] * chebyshev[k];
                    across += c[j * kNodesRho + k] * slope[k];
                }
                dx[j] += weight * value;
                dlog[j] += weight * across * where.dt_dlog_rho;
            }
            bound_x_[q] += std::fabs(weight) * data::kDerivativeErrorX[at];
            bound_log_[q] += std::fabs(weight) * data::kDerivativeErrorLogRho[at];
        }
        differentiate(dx);
        bound_x_[q] /= law.flux;
        bound_log_[q] /= law.flux;
    }
}

double TableGradient::widest_log_rho_bound() const {
    return *std::max_element(bound_log_.begin(), bound_log_.end());
}

bool TableGradient::serve(double u, double share, ProfileGradient& g) const {
    const double x = u / rho_;
    const TableBases a = bases_.bases(x);
    const double value = law_.value(a);
    const double value_bound = law_.error_bound(a);  // relative
    if (!(value_bound <= share)) return false;
    const TablePoint at = table_point(x);
    // F_x = dA/dx and F_L = dA/d(ln rho) at fixed x: dA/du = F_x / rho, dA/drho = (F_L - x F_x) / rho.
    const double fx = clenshaw(&dx_[at.piece * kNodesX], at.t) * at.dt_dx / law_.flux;
    const double flog = clenshaw(&dlog_[at.piece * kNodesX], at.t) / law_.flux;
    const double frho = flog - x * fx;
    const double bx = bound_x_[at.piece], brho = bound_log_[at.piece] + x * bx;
    if (!(bx <= share * std::max(std::fabs(fx), value)) || !(brho <= share * std::max(std::fabs(frho), value))) {
        return false;
    }
    // A = N/D with N = sum_j scaled_j A_j and D = sum_j scaled_j: dA/dc_k = (N_k - A D_k) / D, N_k
    // and D_k the same sums with d scaled / d c_k; its error from the bases' values' errors.
    const double absolute = value_bound * value;
    for (std::size_t k = 0; k < coefficients_.count; ++k) {
        double n = 0.0, d = 0.0, error = 0.0;
        for (std::size_t j = 0; j < kTableBases; ++j) {
            const double w = coefficients_.scaled[k][j];
            n += w * a[j];
            d += w;
            error += std::fabs(w) * a[j] * table_error(j);
        }
        const double derivative = (n - value * d) / law_.flux;
        error = (error + std::fabs(d) * absolute) / law_.flux;
        if (!(error <= share * std::max(std::fabs(derivative), value))) return false;
        g.dlimb[k] = derivative;
    }
    g.value.value = value;
    g.value.estimate = value_bound;
    g.value.evaluations = 0;
    g.du = fx / rho_;
    g.drho = frho / rho_;
    return true;
}

}  // namespace mirvanta::models
