#include "models/engine/route_plan.hpp"

#include <algorithm>
#include <cmath>

#include "models/engine/profile.hpp"
#include "models/engine/profile_interpolant.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "models/kernel/witt_mao.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {

RoutePlan::RoutePlan(const PreparedLaw& law, double rtol)
    : law_(law), rtol_(rtol >= kFinestTolerance ? rtol : kFinestTolerance), too_fine_(!(rtol >= kFinestTolerance)),
      series_(plan_series(law, rtol_)), table_law_(models::table_law(law)) {}

Route RoutePlan::route(double u, double rho, const ProfileInterpolant* interpolant, bool tables) const {
    if (std::isnan(u) || std::isnan(rho) || u < 0.0 || rho < 0.0 || u == numerics::kInfinity ||
        rho == numerics::kInfinity || rho == 0.0 || law_.uniform) {
        return Route::direct;
    }
    // The tables before the series: near its reach the series takes up to 23 terms (0.3 us a
    // separation at rtol 1e-10), the tables three sums of 16 (0.1 us).
    if (tables && TableSource::covers(u / rho)) return Route::table;
    if (u > 0.0 && series_reaches(u, rho, series_)) return Route::series;
    if (interpolant != nullptr && interpolant->covers(u)) return Route::interpolant;
    return Route::quadrature;
}

bool RoutePlan::tabulates(double rho, std::size_t separations) const {
    return table_law_.linear && !law_.uniform && !too_fine_ && rtol_ >= kTableFinestTolerance &&
           separations >= interpolant_nodes(rtol_) && table_holds_radius(rho) && far(rho) <= 2.0 * rho;
}

ProfileValue RoutePlan::serve_table(const TableSource& table, double u, double rho) const {
    const TableSource::LawValue law = table.law_value(u / rho);
    if (!(law.bound <= budget::kTable * rtol_)) return serve(Route::quadrature, u, rho);
    ProfileValue v;
    v.value = law.value;
    v.estimate = law.bound;
    v.evaluations = 0;
    return reported(Route::table, v);
}

ProfileValue RoutePlan::serve(Route route, double u, double rho) const {
    ProfileValue v;
    switch (route) {
        case Route::direct:
            if (std::isnan(u) || std::isnan(rho) || u < 0.0 || rho < 0.0) {
                v.value = numerics::kNaN;
            } else if (u == numerics::kInfinity || rho == numerics::kInfinity) {
                v.value = 1.0;
            } else {
                v.value = witt_mao_magnification_scaled(u, rho);
                v.evaluations = rho == 0.0 ? 0 : 1;
            }
            return v;
        case Route::series:
            profile_series(u, rho, series_, &v.value);
            return reported(route, v);
        case Route::interpolant:
        case Route::quadrature:
        case Route::table:  // served by serve_table, which holds the call's table
            break;
    }
    return reported(route, profile_by_quadrature(u, rho, law_, rtol_));
}

double RoutePlan::far(double rho) const { return rho / std::sqrt(series_.widest); }

ProfileValue RoutePlan::reported(Route route, ProfileValue value) const {
    if (too_fine_ && route != Route::direct) {
        value.converged = false;
        value.estimate = std::max(value.estimate, kFinestTolerance);
    }
    // A NaN that the series, the interpolant or the quadrature gives (only NaN inputs give NaN
    // directly) never counts as reached: the report says NaN for it.
    if (route != Route::direct && std::isnan(value.value)) value.converged = false;
    return value;
}

}  // namespace mirvanta::models
