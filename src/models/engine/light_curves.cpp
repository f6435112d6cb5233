#include "models/engine/light_curves.hpp"

#include <cmath>

#include "models/engine/profile_events.hpp"

namespace mirvanta::models {
namespace {

class LightCurveEvents final : public ProfileEvents {
public:
    explicit LightCurveEvents(const Trajectories& trajectories) : args_(trajectories) {}

    std::size_t count() const override { return args_.event_length == 0 ? 0 : args_.t.size() / args_.event_length; }
    std::size_t length() const override { return args_.event_length; }

    double separations(std::size_t event, double* u) const override {
        const std::size_t first = event * args_.event_length;
        const double t0 = args_.t0.at(first), u0 = args_.u0.at(first), t_e = args_.t_e.at(first);
        args_.t.gather(first, args_.event_length, u);
        for (std::size_t i = 0; i < args_.event_length; ++i) {
            const double tau = (u[i] - t0) / t_e;
            u[i] = std::sqrt(u0 * u0 + tau * tau);
        }
        return args_.rho.at(first);
    }

    bool one_radius() const override { return args_.one_radius; }
    ArrayView radii(std::size_t event) const override {
        return args_.rho.rows(event * args_.event_length, args_.event_length);
    }

private:
    const Trajectories& args_;
};

}  // namespace

ProfileReport light_curves(const Trajectories& trajectories, const BrightnessLaw& law, double rtol, double* out,
                           ProfileCounts* counts) {
    const LightCurveEvents events(trajectories);
    return profile_events(events, law, rtol, out, counts);
}

}  // namespace mirvanta::models
