// The range kernel on two SSE2 lanes: the x86-64 baseline, which every such CPU runs.
#include "models/kernel/lanes/lane_paths.hpp"

#if MIRVANTA_LANES_SSE2

#include "models/kernel/lanes/witt_mao_lanes.hpp"
#include "numerics/lanes/sse2.hpp"

namespace mirvanta::models::lanes {

void witt_mao_range_sse2(const double* x, std::size_t count, double scale, double rho, double* out) {
    witt_mao_lane_range<numerics::lanes::Sse2>(x, count, scale, rho, out);
}

void witt_mao_radii_sse2(double u, const double* rho, std::size_t count, double* out) {
    witt_mao_lane_radii<numerics::lanes::Sse2>(u, rho, count, out);
}

void witt_mao_derivative_range_sse2(const double* u, std::size_t count, double rho, DiskDerivatives* out) {
    witt_mao_derivative_lane_range<numerics::lanes::Sse2>(u, count, rho, out);
}

void witt_mao_derivative_radii_sse2(double u, const double* rho, std::size_t count, DiskDerivatives* out) {
    witt_mao_derivative_lane_radii<numerics::lanes::Sse2>(u, rho, count, out);
}

}  // namespace mirvanta::models::lanes

#endif
