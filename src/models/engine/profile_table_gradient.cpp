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

// M series of kNodesX terms, their coefficients of one degree side by side (c[j M + i]), summed
// at t by Clenshaw's recurrence together (M fixed, so that the recurrences stay in registers).
template <std::size_t M>
void clenshaw_side_by_side(const double* c, double t, double* out) {
    const double two_t = 2.0 * t;
    double b1[M] = {}, b2[M] = {};
    for (std::size_t j = kNodesX - 1; j > 0; --j) {
        for (std::size_t i = 0; i < M; ++i) {
            const double next = two_t * b1[i] - b2[i] + c[j * M + i];
            b2[i] = b1[i];
            b1[i] = next;
        }
    }
    for (std::size_t i = 0; i < M; ++i) out[i] = t * b1[i] - b2[i] + c[i];
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
    : rho_(rho), flux_(law.flux), coefficients_(coefficients.count), series_(coefficients.count <= 1 ? 6 : (coefficients.count == 2 ? 8 : kMostSeries)) {
    const TableRadius where = table_radius(rho);
    std::array<double, kNodesRho> chebyshev{}, slope{};
    chebyshev[0] = 1.0;
    chebyshev[1] = where.t;
    slope[1] = 1.0;
    for (std::size_t k = 2; k < kNodesRho; ++k) {
        chebyshev[k] = 2.0 * where.t * chebyshev[k - 1] - chebyshev[k - 2];
        slope[k] = 2.0 * chebyshev[k - 1] + 2.0 * where.t * slope[k - 1] - slope[k - 2];
    }
    for (std::size_t k = 0; k < coefficients_; ++k) {
        for (std::size_t b = 0; b < kTableBases; ++b) flux_derivative_[k] += coefficients.scaled[k][b];
    }
    const std::size_t m = series_;
    for (std::size_t q = 0; q < kPieces; ++q) {
        double* out = &sums_[q * kNodesX * m];
        std::array<double, kNodesX> dx{};
        for (std::size_t b = 0; b < kTableBases; ++b) {
            const double weight = law.scaled[b], bound = std::fabs(law.scaled[b]) * data::kTableError[b];
            bool used = weight != 0.0;
            for (std::size_t k = 0; k < coefficients_; ++k) used = used || coefficients.scaled[k][b] != 0.0;
            if (!used) continue;
            const std::size_t at = (b * data::kRhoPieces + where.piece) * kPieces + q;
            const double* c = &data::kCoefficients[at * kNodesX * kNodesRho];
            for (std::size_t j = 0; j < kNodesX; ++j) {
                double value = 0.0, across = 0.0;
                for (std::size_t k = 0; k < kNodesRho; ++k) value += c[j * kNodesRho + k] * chebyshev[k];
                for (std::size_t k = 0; k < kNodesRho; ++k) across += c[j * kNodesRho + k] * slope[k];
                double* s = out + j * m;
                // The flux and its bound as the value's call sums them (TableSource), bit for bit.
                if (weight != 0.0) {
                    s[0] += weight * value;
                    s[1] += bound * value;
                    dx[j] += weight * value;
                    s[3] += weight * (across * where.dt_dlog_rho);
                }
                for (std::size_t k = 0; k < coefficients_; ++k) {
                    const double w = coefficients.scaled[k][b];
                    s[4 + k] += w * value;
                    s[4 + coefficients_ + k] += (std::fabs(w) * data::kTableError[b]) * value;
                }
            }
            bound_x_[q] += std::fabs(weight) * data::kDerivativeErrorX[at];
            bound_log_[q] += std::fabs(weight) * data::kDerivativeErrorLogRho[at];
        }
        differentiate(dx.data());
        for (std::size_t j = 0; j < kNodesX; ++j) out[j * m + 2] = dx[j];
        bound_x_[q] /= law.flux;
        bound_log_[q] /= law.flux;
    }
}

double TableGradient::widest_log_rho_bound() const {
    return *std::max_element(bound_log_.begin(), bound_log_.end());
}

bool TableGradient::serve(double u, double share, ProfileGradient& g) const {
    const double x = u / rho_;
    const TablePoint at = table_point(x);
    const double* c = &sums_[at.piece * kNodesX * series_];
    std::array<double, kMostSeries> sum{};
    switch (series_) {  // the laws' 1, 2 and 4 coefficients
        case 6: clenshaw_side_by_side<6>(c, at.t, sum.data()); break;
        case 8: clenshaw_side_by_side<8>(c, at.t, sum.data()); break;
        default: clenshaw_side_by_side<kMostSeries>(c, at.t, sum.data()); break;
    }
    const double flux = sum[0], value = flux / flux_, value_bound = sum[1] / std::fabs(flux);
    if (!(value_bound <= share)) return false;
    // F_x = dA/dx and F_L = dA/d(ln rho) at fixed x: dA/du = F_x / rho, dA/drho = (F_L - x F_x) / rho.
    const double fx = sum[2] * at.dt_dx / flux_;
    const double flog = sum[3] / flux_;
    const double frho = flog - x * fx;
    const double bx = bound_x_[at.piece], brho = bound_log_[at.piece] + x * bx;
    if (!(bx <= share * std::max(std::fabs(fx), value)) || !(brho <= share * std::max(std::fabs(frho), value))) {
        return false;
    }
    // A = N/D with N = sum_j scaled_j A_j and D = sum_j scaled_j: dA/dc_k = (N_k - A D_k) / D, N_k
    // and D_k the same sums with d scaled / d c_k; its error from the bases' values' errors, N_k's
    // (its bound series) and A's times D_k.
    const double absolute = sum[1] / flux_;
    for (std::size_t k = 0; k < coefficients_; ++k) {
        const double d = flux_derivative_[k];
        const double derivative = (sum[4 + k] - value * d) / flux_;
        const double error = (sum[4 + coefficients_ + k] + std::fabs(d) * absolute) / flux_;
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
