// The tabulated magnifications of the basis profiles mu^p, p = 0, 1, 2, 1/2 and 3/2, over
// (x = u/rho, rho), made offline (tools/gen_profile_tables.py, profile_tables_data.hpp), and, for
// one source radius, their one-dimensional Chebyshev series in x: one interpolation across rho per
// source, then Clenshaw sums per separation. A law that is a sum of these bases (linear,
// quadratic, square-root, Claret's) has a magnified flux that is the same sum of theirs.
#pragma once

#include <array>
#include <cstddef>

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

// The bases' profiles mu^p, in the tables' order, and their fluxes int_0^1 2 r mu^p dr = 2/(p + 2).
inline constexpr std::size_t kTableBases = 5;
inline constexpr std::array<double, kTableBases> kTablePowers = {0.0, 1.0, 2.0, 0.5, 1.5};
inline constexpr std::array<double, kTableBases> kTableFluxes = {1.0, 2.0 / 3.0, 0.5, 0.8, 4.0 / 7.0};
using TableBases = std::array<double, kTableBases>;

// The coefficients of one source's series: bases x pieces in x x degrees in x (checked against the
// data's own sizes in profile_table.cpp).
inline constexpr std::size_t kTableSeriesLength = kTableBases * 28 * 16;

// Each basis's worst relative error over the table's domain, measured off the generator's nodes
// against its references, plus their own bounds (the kernel's 7.4e-13, the engine's 1e-13).
double table_error(std::size_t basis);

// The radii the table holds: [0.1, 10].
bool table_holds_radius(double rho);

// Where a radius the table holds lies across ln rho: its piece and t in [-1, 1] on it, and
// dt/d(ln rho).
struct TableRadius {
    std::size_t piece;
    double t, dt_dlog_rho;
};
TableRadius table_radius(double rho);

// Where a covered x lies: its piece, t in [-1, 1] on it, and dt/dx.
struct TablePoint {
    std::size_t piece;
    double t, dt_dx;
};
TablePoint table_point(double x);

struct TableLaw;

class TableSource {
public:
    // The series in x of the bases `used` (all by default) on every piece, for one radius the
    // table holds.
    explicit TableSource(double rho, std::array<bool, kTableBases> used = {true, true, true, true, true});

    // For a law (a sum of the bases): also the law's own two series, its magnified flux
    // sum_j scaled_j A_j and the bound sum_j |scaled_j| err_j A_j, summed from the bases' series
    // once per source, so that a separation takes two Clenshaw sums, side by side.
    TableSource(double rho, const TableLaw& law);

    // Whether the pieces hold x = u/rho: 0 <= x <= 2, not within 2^-14 of the limb.
    static bool covers(double x);

    // The bases' magnifications A_j(x) at an x the pieces hold (0 for a basis not used).
    TableBases bases(double x) const;

    // The law's magnification at an x the pieces hold, and the bound on its relative error that
    // the bases' errors give there (TableLaw::error_bound, from its own series). Only for a source
    // made with a law.
    struct LawValue {
        double value, bound;
    };
    LawValue law_value(double x) const;

private:
    std::array<bool, kTableBases> used_;
    double flux_ = 0.0;
    std::array<double, 2 * kTableSeriesLength / kTableBases> law_series_{};  // by piece: flux, bound
    std::array<double, kTableSeriesLength> series_;  // by basis, piece, degree in x
};

// A law as a sum of the table's bases: its weights, each times the basis's flux, so that
// A = sum_j scaled[j] A_j / flux. `linear` is false for a law with any other term.
struct TableLaw {
    bool linear = false;
    TableBases scaled{};
    double flux = 0.0;
    // The bases it uses (a weight other than 0).
    std::array<bool, kTableBases> used() const;
    // The bound on A's relative error that the table's errors give at these bases' values:
    // sum_j |scaled_j| A_j err_j / |sum_j scaled_j A_j|.
    double error_bound(const TableBases& a) const;
    double value(const TableBases& a) const;
};

TableLaw table_law(const PreparedLaw& law);

}  // namespace mirvanta::models
