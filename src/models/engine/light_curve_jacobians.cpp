#include "models/engine/light_curve_jacobians.hpp"

#include <cmath>
#include <vector>

#include "common/interruption.hpp"
#include "models/engine/profile_gradient.hpp"

namespace mirvanta::models {
namespace {

// Columns t0, u0 and tE of a row whose column 0 holds dA/du.
void chain(double t, double t0, double u0, double t_e, double* row) {
    const double tau = (t - t0) / t_e;
    const double u = std::sqrt(u0 * u0 + tau * tau);
    const double du = row[0];
    if (u == 0.0) {
        row[0] = row[1] = row[2] = 0.0;
        return;
    }
    row[0] = du * (-tau / (t_e * u));
    row[1] = du * (u0 / u);
    row[2] = du * (-(tau * tau) / (t_e * u));
}

}  // namespace

ProfileReport light_curve_jacobians(const Trajectories& trajectories, const BrightnessLaw& law, double rtol,
                                    double* value, double* jacobian, std::size_t columns) {
    const Trajectories& args = trajectories;
    const std::size_t length = args.event_length;
    const std::size_t events = length == 0 ? 0 : args.t.size() / length;
    ProfileReport report;
    std::vector<double> times(length);
    for (std::size_t e = 0; e < events; ++e) {
        interruption_point();
        const std::size_t first = e * length;
        const double t0 = args.t0.at(first), u0 = args.u0.at(first), t_e = args.t_e.at(first);
        // The separations where the magnifications go.
        args.t.gather(first, length, times.data());
        double* u = value + first;
        for (std::size_t i = 0; i < length; ++i) {
            const double tau = (times[i] - t0) / t_e;
            u[i] = std::sqrt(u0 * u0 + tau * tau);
        }
        const double radius = args.rho.at(first);
        const ArrayView rho = args.one_radius ? ArrayView(std::span<const double>(&radius, 1)) : args.rho.rows(first, length);
        double* rows = jacobian + first * columns;
        // dA/du into column 0 (t0's), dA/drho into column 3, the coefficients' from column 4.
        const ProfileReport own = profile_gradient(ArrayView(std::span<const double>(u, length)), rho, law, rtol,
                                                   GradientOutput{u, rows, rows + 3, rows + 4, columns, columns, columns});
        if (own.unconverged > 0) {
            if (report.unconverged == 0) report.first_unconverged = first + own.first_unconverged;
            report.unconverged += own.unconverged;
            report.worst_estimate = std::isnan(own.worst_estimate) || own.worst_estimate > report.worst_estimate
                                        ? own.worst_estimate
                                        : report.worst_estimate;
        }
        for (std::size_t i = 0; i < length; ++i) chain(times[i], t0, u0, t_e, rows + i * columns);
    }
    return report;
}

}  // namespace mirvanta::models
