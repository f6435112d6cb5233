#include "models/engine/profile_table.hpp"

#include <cmath>

#include "models/engine/profile_tables_data.hpp"

namespace mirvanta::models {
namespace {

namespace data = tables;

constexpr std::size_t kPieces = data::kXPieces;
constexpr std::size_t kNodesX = data::kNodesX;
constexpr std::size_t kNodesRho = data::kNodesRho;
constexpr int kGap = data::kLimbGapExponent;
static_assert(kTableSeriesLength == kTableBases * kPieces * kNodesX);
static_assert(kTableBases == data::kBases && data::kTableError.size() == kTableBases);
static_assert(kPieces == 2 * kGap);

// The piece that holds x (covered): inside, [0, 1/2] and then [1 - 2^-k, 1 - 2^-(k+1)]; outside,
// [1 + 2^-(k+1), 1 + 2^-k] from the limb's gap out to [3/2, 2]. A point on the edge of two pieces
// may take either: both hold it.
std::size_t piece_of(double x) {
    int e = 0;
    if (x < 1.0) {
        if (x <= 0.5) return 0;
        std::frexp(1.0 - x, &e);  // 1 - x in [2^(e-1), 2^e)
        const int k = -e;
        return static_cast<std::size_t>(k < 1 ? 1 : (k > kGap - 1 ? kGap - 1 : k));
    }
    std::frexp(x - 1.0, &e);  // x - 1 in [2^(e-1), 2^e)
    const int i = kGap + e - 1;
    return static_cast<std::size_t>(kGap + (i < 0 ? 0 : (i > kGap - 1 ? kGap - 1 : i)));
}

}  // namespace

double table_error(std::size_t basis) { return data::kTableError[basis]; }

bool table_holds_radius(double rho) { return rho >= data::kRhoLow && rho <= data::kRhoHigh; }

TableRadius table_radius(double rho) {
    const double width = (data::kLogRhoHigh - data::kLogRhoLow) / data::kRhoPieces;
    const double position = (std::log(rho) - data::kLogRhoLow) / width;
    std::size_t p = position <= 0.0 ? 0 : static_cast<std::size_t>(position);
    if (p > static_cast<std::size_t>(data::kRhoPieces) - 1) p = data::kRhoPieces - 1;
    double t = 2.0 * (position - static_cast<double>(p)) - 1.0;
    t = t < -1.0 ? -1.0 : (t > 1.0 ? 1.0 : t);
    return {p, t, 2.0 / width};
}

TablePoint table_point(double x) {
    const std::size_t q = piece_of(x);
    const double a = data::kXEdges[2 * q], b = data::kXEdges[2 * q + 1];
    return {q, (2.0 * x - a - b) / (b - a), 2.0 / (b - a)};
}

TableSource::TableSource(double rho, std::array<bool, kTableBases> used) : used_(used), series_{} {
    const TableRadius where = table_radius(rho);
    const std::size_t p = where.piece;
    const double t = where.t;
    std::array<double, kNodesRho> chebyshev{};
    chebyshev[0] = 1.0;
    chebyshev[1] = t;
    for (std::size_t k = 2; k < kNodesRho; ++k) chebyshev[k] = 2.0 * t * chebyshev[k - 1] - chebyshev[k - 2];
    for (std::size_t b = 0; b < kTableBases; ++b) {
        if (!used_[b]) continue;
        for (std::size_t q = 0; q < kPieces; ++q) {
            const double* c = &data::kCoefficients[((b * data::kRhoPieces + p) * kPieces + q) * kNodesX * kNodesRho];
            double* out = &series_[(b * kPieces + q) * kNodesX];
            for (std::size_t j = 0; j < kNodesX; ++j) {
                double sum = 0.0;
                for (std::size_t k = 0; k < kNodesRho; ++k) sum += c[j * kNodesRho + k] * chebyshev[k];
                out[j] = sum;
            }
        }
    }
}

TableSource::TableSource(double rho, const TableLaw& law) : TableSource(rho, law.used()) {
    flux_ = law.flux;
    for (std::size_t q = 0; q < kPieces; ++q) {
        double* out = &law_series_[2 * q * kNodesX];
        for (std::size_t b = 0; b < kTableBases; ++b) {
            if (!used_[b]) continue;
            const double* c = &series_[(b * kPieces + q) * kNodesX];
            const double weight = law.scaled[b], bound = std::fabs(law.scaled[b]) * data::kTableError[b];
            for (std::size_t j = 0; j < kNodesX; ++j) {
                out[j] += weight * c[j];
                out[kNodesX + j] += bound * c[j];
            }
        }
    }
}

bool TableSource::covers(double x) {
    constexpr double gap = 1.0 / static_cast<double>(1 << kGap);
    return x >= 0.0 && x <= 2.0 && (x <= 1.0 - gap || x >= 1.0 + gap);
}

TableBases TableSource::bases(double x) const {
    const TablePoint at = table_point(x);
    const std::size_t q = at.piece;
    const double t = at.t;
    TableBases out{};
    for (std::size_t basis = 0; basis < kTableBases; ++basis) {
        if (!used_[basis]) continue;
        const double* c = &series_[(basis * kPieces + q) * kNodesX];
        double b1 = 0.0, b2 = 0.0;
        for (std::size_t j = kNodesX - 1; j > 0; --j) {
            const double next = 2.0 * t * b1 - b2 + c[j];
            b2 = b1;
            b1 = next;
        }
        out[basis] = t * b1 - b2 + c[0];
    }
    return out;
}

std::array<bool, kTableBases> TableLaw::used() const {
    std::array<bool, kTableBases> out{};
    for (std::size_t j = 0; j < kTableBases; ++j) out[j] = scaled[j] != 0.0;
    return out;
}

TableSource::LawValue TableSource::law_value(double x) const {
    const std::size_t q = piece_of(x);
    const double a = data::kXEdges[2 * q], b = data::kXEdges[2 * q + 1];
    const double t = (2.0 * x - a - b) / (b - a);
    const double* f = &law_series_[2 * q * kNodesX];
    const double* e = f + kNodesX;
    double f1 = 0.0, f2 = 0.0, e1 = 0.0, e2 = 0.0;
    for (std::size_t j = kNodesX - 1; j > 0; --j) {
        const double f0 = 2.0 * t * f1 - f2 + f[j], e0 = 2.0 * t * e1 - e2 + e[j];
        f2 = f1;
        f1 = f0;
        e2 = e1;
        e1 = e0;
    }
    const double flux = t * f1 - f2 + f[0], bound = t * e1 - e2 + e[0];
    return {flux / flux_, bound / std::fabs(flux)};
}

double TableLaw::value(const TableBases& a) const {
    double sum = 0.0;
    for (std::size_t j = 0; j < kTableBases; ++j) sum += scaled[j] * a[j];
    return sum / flux;
}

double TableLaw::error_bound(const TableBases& a) const {
    double error = 0.0, sum = 0.0;
    for (std::size_t j = 0; j < kTableBases; ++j) {
        error += std::fabs(scaled[j]) * a[j] * data::kTableError[j];
        sum += scaled[j] * a[j];
    }
    return error / std::fabs(sum);
}

TableLaw table_law(const PreparedLaw& law) {
    TableLaw out;
    if (law.law.kind == LawKind::tabulated || law.law.kind == LawKind::power2) return out;
    for (std::size_t i = 0; i < law.term_count; ++i) {
        const LawTerm& term = law.terms[i];
        if (term.weight == 0.0) continue;
        std::size_t j = 0;
        while (j < kTableBases && kTablePowers[j] != term.power) ++j;
        if (term.logarithmic || j == kTableBases) return out;
        out.scaled[j] += term.weight * kTableFluxes[j];
    }
    for (std::size_t j = 0; j < kTableBases; ++j) out.flux += out.scaled[j];
    out.linear = out.flux > 0.0;
    return out;
}

}  // namespace mirvanta::models
