// The uniform-disk range kernels of each lane path (witt_mao_lanes.hpp): one source radius and
// many separations (x[i] * scale Einstein radii), one separation and many radii, each also with
// the derivatives (models/kernel/disk_derivatives.hpp), as models/kernel/witt_mao_range.cpp chooses between
// them. Declared where the build has the path (numerics/lanes/isa.hpp); the AVX2 ones may be
// called only where the CPU has AVX2.
#pragma once

#include <cstddef>

#include "models/kernel/disk_derivatives.hpp"
#include "numerics/lanes/isa.hpp"

namespace mirvanta::models::lanes {

#if MIRVANTA_LANES_SSE2
void witt_mao_range_sse2(const double* x, std::size_t count, double scale, double rho, double* out);
void witt_mao_radii_sse2(double u, const double* rho, std::size_t count, double* out);
void witt_mao_derivative_range_sse2(const double* u, std::size_t count, double rho, DiskDerivatives* out);
void witt_mao_derivative_radii_sse2(double u, const double* rho, std::size_t count, DiskDerivatives* out);
#endif
#if MIRVANTA_LANES_AVX2
void witt_mao_range_avx2(const double* x, std::size_t count, double scale, double rho, double* out);
void witt_mao_radii_avx2(double u, const double* rho, std::size_t count, double* out);
void witt_mao_derivative_range_avx2(const double* u, std::size_t count, double rho, DiskDerivatives* out);
void witt_mao_derivative_radii_avx2(double u, const double* rho, std::size_t count, DiskDerivatives* out);
#endif

}  // namespace mirvanta::models::lanes
