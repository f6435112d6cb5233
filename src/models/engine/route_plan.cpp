#include "models/engine/route_plan.hpp"

#include <algorithm>
#include <cmath>

#include "models/engine/profile.hpp"
#include "models/engine/profile_interpolant.hpp"
#include "models/kernel/witt_mao.hpp"
#include "numerics/constants.hpp"

namespace mirvanta::models {

RoutePlan::RoutePlan(const PreparedLaw& law, double rtol)
    : law_(law), rtol_(rtol >= kFinestTolerance ? rtol : kFinestTolerance), too_fine_(!(rtol >= kFinestTolerance)),
      series_(plan_series(law, rtol_)) {}

Route RoutePlan::route(double u, double rho, const ProfileInterpolant* interpolant) const {
    if (std::isnan(u) || std::isnan(rho) || u < 0.0 || rho < 0.0 || u == numerics::kInfinity ||
        rho == numerics::kInfinity || rho == 0.0 || law_.uniform) {
        return Route::direct;
    }
    if (u > 0.0 && series_reaches(u, rho, series_)) return Route::series;
    if (interpolant != nullptr && interpolant->covers(u)) return Route::interpolant;
    return Route::quadrature;
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
