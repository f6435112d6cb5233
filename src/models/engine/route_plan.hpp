// The one rule that decides how each separation of a call is served, and the values of the
// routes that need nothing but the separation. Every separation is tagged with its route before
// any is computed; the call (models/engine/profile.cpp) then runs each route.
#pragma once

#include <cstddef>

#include "models/engine/brightness_law.hpp"
#include "models/engine/profile_quadrature.hpp"
#include "models/engine/profile_table.hpp"
#include "models/engine/profile_series.hpp"

namespace mirvanta::models {

class ProfileInterpolant;

enum class Route : unsigned char {
    direct,       // a special value (NaN, infinity), the point source or the uniform disk's kernel
    series,       // the far-field series, where its terms reach (models/engine/profile_series.hpp)
    interpolant,  // the call's interpolant, where one of its pieces holds the separation
    quadrature,   // by parts from the uniform disk (models/engine/profile_quadrature.hpp)
    table,        // the bases' tables for the call's source (models/engine/profile_table.hpp)
};

// The finest rtol a call serves from the tables: their errors (1.6e-12 at most, times the law's
// weights) then stay within their share of it, budget::kTable, for the usual laws; each
// separation still checks its own bound and takes the quadrature where it misses.
inline constexpr double kTableFinestTolerance = 1e-11;

class RoutePlan {
public:
    // For one law and tolerance: the series' reach (its share of rtol, tolerance_budget.hpp).
    // A rtol below kFinestTolerance is served at it, and what needed more than the kernel is
    // reported as not reaching the rtol asked.
    RoutePlan(const PreparedLaw& law, double rtol);

    // The route of (u, rho): direct for NaN or negative arguments (NaN), an infinite one (1),
    // rho = 0 and the uniform disk (the kernel); the tables where the call has them (`tables`)
    // and they cover u/rho; the series where (rho/u)^2 is within its reach; the interpolant where
    // `interpolant` (the call's, for one source radius, or null) covers u; else the quadrature.
    Route route(double u, double rho, const ProfileInterpolant* interpolant, bool tables = false) const;

    // Whether a call of `separations` separations of the one radius rho is served from the tables
    // (in place of an interpolant): the law a sum of their bases (not the uniform disk, which is
    // the kernel's), rtol at least kTableFinestTolerance, at least as many separations as an
    // interpolant's piece has nodes, rho within the tables and the series reaching every
    // separation beyond them (u >= 2 rho).
    bool tabulates(double rho, std::size_t separations) const;

    // The table's value of (u, rho), u/rho covered (`table` made with this plan's table_law()),
    // where its error bound at this separation is within budget::kTable of rtol; else the
    // quadrature's (its `evaluations` then at least 1; the table's are 0).
    ProfileValue serve_table(const TableSource& table, double u, double rho) const;

    // The value of (u, rho) by a route other than the interpolant's (whose value is its excess
    // plus its share of the uniform disk, taken by the caller), reported as the call asked.
    ProfileValue serve(Route route, double u, double rho) const;

    // The separation beyond which the series serves a source of radius rho.
    double far(double rho) const;

    // The result of a route as reported: below the finest tolerance nothing but the kernel's own
    // values counts as reaching rtol.
    ProfileValue reported(Route route, ProfileValue value) const;

    const PreparedLaw& law() const { return law_; }
    double rtol() const { return rtol_; }
    const SeriesPlan& series() const { return series_; }
    const TableLaw& table_law() const { return table_law_; }

private:
    const PreparedLaw& law_;
    double rtol_;
    bool too_fine_;
    SeriesPlan series_;
    TableLaw table_law_;
};

}  // namespace mirvanta::models
