// The range kernel on four AVX2 lanes. Its functions are compiled for AVX2 by the target pragma
// below, without FMA (and the build contracts nothing anyway), while the rest of the module keeps
// the x86-64 baseline; models/kernel/witt_mao_range.cpp calls it only where the CPU has AVX2.
//
// Every header whose inline functions other files also use is included before the pragma, so
// that those functions are compiled for the baseline here too, and no AVX2 copy of one can be
// the copy the linker keeps for the whole module. After the pragma come only templates, which
// are instantiated here for the AVX2 lane type alone, and the lane type itself.
#include "models/kernel/lanes/lane_paths.hpp"

#if MIRVANTA_LANES_AVX2

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/disk_forms.hpp"
#include "models/kernel/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "numerics/taylor_rows.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "models/kernel/lanes/witt_mao_lanes.hpp"
#include "numerics/lanes/avx2.hpp"

namespace mirvanta::models::lanes {

// Each returns to baseline code with the AVX registers' upper halves cleared (Avx2::settle): the
// compiler's own clearing before a return is left out where a function passes vectors in
// registers, and the state in use then reached the caller, the interpreter and every call after.
void witt_mao_range_avx2(const double* x, std::size_t count, double scale, double rho, double* out) {
    witt_mao_lane_range<numerics::lanes::Avx2>(x, count, scale, rho, out);
    numerics::lanes::Avx2::settle();
}

void witt_mao_radii_avx2(double u, const double* rho, std::size_t count, double* out) {
    witt_mao_lane_radii<numerics::lanes::Avx2>(u, rho, count, out);
    numerics::lanes::Avx2::settle();
}

void witt_mao_derivative_range_avx2(const double* u, std::size_t count, double rho, DiskDerivatives* out) {
    witt_mao_derivative_lane_range<numerics::lanes::Avx2>(u, count, rho, out);
    numerics::lanes::Avx2::settle();
}

void witt_mao_derivative_radii_avx2(double u, const double* rho, std::size_t count, DiskDerivatives* out) {
    witt_mao_derivative_lane_radii<numerics::lanes::Avx2>(u, rho, count, out);
    numerics::lanes::Avx2::settle();
}

}  // namespace mirvanta::models::lanes

#pragma GCC pop_options

#endif
