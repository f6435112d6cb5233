// The derivatives of a law's magnification from the bases' tables (models/engine/profile_table.hpp),
// for one source radius: d/dx of the law's Chebyshev series in x = u/rho, d/d(ln rho) of the
// interpolation across ln rho (a second set of series in x, made once per source), and the
// coefficients' from the bases' values. Each separation keeps them only where the bounds measured
// for the differentiated tables (profile_table_derivative_errors.hpp,
// tools/gen_table_derivative_errors.py), weighed by the law's weights, are within the table's
// share of rtol of each derivative's accuracy scale; else the caller takes the quadrature.
#pragma once

#include <array>
#include <cstddef>

#include "models/engine/brightness_law.hpp"
#include "models/engine/profile_quadrature.hpp"
#include "models/engine/profile_table.hpp"

namespace mirvanta::models {

// How a law's bases' weights (TableLaw::scaled) change with each of its coefficients: row k is
// d scaled / d c_k. Only for the laws the tables serve (table_law(law).linear).
struct TableLawDerivatives {
    std::size_t count = 0;
    std::array<TableBases, kMostCoefficients> scaled{};
};
TableLawDerivatives table_law_derivatives(const PreparedLaw& law);

class TableGradient {
public:
    // The tables' pieces in x and the length of their series (checked against the data's).
    static constexpr std::size_t kPieces = 28, kNodes = 16;
    // The series a separation sums, side by side: the law's flux and its bound (as the value's
    // call has them), the flux differentiated in x and in ln rho, and per coefficient the flux's
    // derivative in it and that derivative's bound.
    static constexpr std::size_t kMostSeries = 4 + 2 * kMostCoefficients;

    TableGradient(double rho, const TableLaw& law, const TableLawDerivatives& coefficients);

    // The largest bound, over the pieces, on the error of rho dA/drho that the tables give: where
    // it exceeds budget::kTable rtol (A is at least about 1), most separations would miss and the
    // call does better without the tables.
    double widest_log_rho_bound() const;

    // A and its derivatives at u (u/rho covered) into g, true where every bound is within
    // `share` of its accuracy scale (A: of A; dA/du and dA/drho: of the larger of their size and
    // A/rho; a coefficient's: of its size and A); false leaves g unspecified.
    bool serve(double u, double share, ProfileGradient& g) const;

private:
    double rho_, flux_;
    std::size_t coefficients_, series_;  // the law's coefficients; the series summed, 4 + 2 of them (or 0s)
    std::array<double, kMostCoefficients> flux_derivative_{};  // d (sum_j scaled_j) / d c_k
    // By piece, degree in x and series (the series of one degree side by side).
    std::array<double, kPieces * kNodes * kMostSeries> sums_{};
    // By piece: the bounds of the errors of dA/dx and dA/d(ln rho) (absolute, in A's units).
    std::array<double, kPieces> bound_x_{}, bound_log_{};
};

}  // namespace mirvanta::models
