#include "models/kernel/witt_mao_range.hpp"

#include <cstddef>

#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/lanes/lane_paths.hpp"
#include "models/kernel/witt_mao.hpp"

namespace mirvanta::models {
namespace {

// u = x * scale: scale = rho for separations in source radii, 1 for separations in Einstein radii
// (a product by 1 is exact).
using RangeKernel = void (*)(const double* x, std::size_t count, double scale, double rho, double* out);
using RadiiKernel = void (*)(double u, const double* rho, std::size_t count, double* out);

void scalar_range(const double* x, std::size_t count, double scale, double rho, double* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = witt_mao_magnification_scaled(x[i] * scale, rho);
}

void scalar_radii(double u, const double* rho, std::size_t count, double* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = witt_mao_magnification_scaled(u, rho[i]);
}

RangeKernel range_kernel(KernelPath path) {
    switch (path) {
#if MIRVANTA_LANES_AVX2
        case KernelPath::avx2:
            return lanes::witt_mao_range_avx2;
#endif
#if MIRVANTA_LANES_SSE2
        case KernelPath::sse2:
            return lanes::witt_mao_range_sse2;
#endif
        default:
            return scalar_range;
    }
}

RadiiKernel radii_kernel(KernelPath path) {
    switch (path) {
#if MIRVANTA_LANES_AVX2
        case KernelPath::avx2:
            return lanes::witt_mao_radii_avx2;
#endif
#if MIRVANTA_LANES_SSE2
        case KernelPath::sse2:
            return lanes::witt_mao_radii_sse2;
#endif
        default:
            return scalar_radii;
    }
}

using DerivativeRangeKernel = void (*)(const double* u, std::size_t count, double rho, DiskDerivatives* out);
using DerivativeRadiiKernel = void (*)(double u, const double* rho, std::size_t count, DiskDerivatives* out);

void scalar_derivative_range(const double* u, std::size_t count, double rho, DiskDerivatives* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = witt_mao_derivatives(u[i], rho);
}

void scalar_derivative_radii(double u, const double* rho, std::size_t count, DiskDerivatives* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = witt_mao_derivatives(u, rho[i]);
}

DerivativeRangeKernel derivative_range_kernel(KernelPath path) {
    switch (path) {
#if MIRVANTA_LANES_AVX2
        case KernelPath::avx2:
            return lanes::witt_mao_derivative_range_avx2;
#endif
#if MIRVANTA_LANES_SSE2
        case KernelPath::sse2:
            return lanes::witt_mao_derivative_range_sse2;
#endif
        default:
            return scalar_derivative_range;
    }
}

DerivativeRadiiKernel derivative_radii_kernel(KernelPath path) {
    switch (path) {
#if MIRVANTA_LANES_AVX2
        case KernelPath::avx2:
            return lanes::witt_mao_derivative_radii_avx2;
#endif
#if MIRVANTA_LANES_SSE2
        case KernelPath::sse2:
            return lanes::witt_mao_derivative_radii_sse2;
#endif
        default:
            return scalar_derivative_radii;
    }
}

}  // namespace

bool kernel_path_available(KernelPath path) {
    switch (path) {
        case KernelPath::scalar:
            return true;
        case KernelPath::sse2:
            return MIRVANTA_LANES_SSE2 != 0;
        case KernelPath::avx2:
#if MIRVANTA_LANES_AVX2
            // libgcc reads the CPU's features in a constructor, when the module is loaded, and
            // reports AVX2 only where the operating system also saves the AVX registers.
            return __builtin_cpu_supports("avx2") != 0;
#else
            return false;
#endif
    }
    return false;
}

KernelPath default_kernel_path() {
    static const KernelPath path = kernel_path_available(KernelPath::avx2)   ? KernelPath::avx2
                                   : kernel_path_available(KernelPath::sse2) ? KernelPath::sse2
                                                                             : KernelPath::scalar;
    return path;
}

void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out) {
    static const RangeKernel kernel = range_kernel(default_kernel_path());
    kernel(separations.data(), separations.size(), rho, rho, out);
}

void witt_mao_magnification_range(std::span<const double> separations, double rho, double* out, KernelPath path) {
    range_kernel(path)(separations.data(), separations.size(), rho, rho, out);
}

void witt_mao_magnification_at(std::span<const double> u, double rho, double* out) {
    static const RangeKernel kernel = range_kernel(default_kernel_path());
    kernel(u.data(), u.size(), 1.0, rho, out);
}

void witt_mao_magnification_at(std::span<const double> u, double rho, double* out, KernelPath path) {
    range_kernel(path)(u.data(), u.size(), 1.0, rho, out);
}

void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out) {
    static const RadiiKernel kernel = radii_kernel(default_kernel_path());
    kernel(u, radii.data(), radii.size(), out);
}

void witt_mao_magnification_radii(double u, std::span<const double> radii, double* out, KernelPath path) {
    radii_kernel(path)(u, radii.data(), radii.size(), out);
}

void witt_mao_derivatives_at(std::span<const double> u, double rho, DiskDerivatives* out) {
    static const DerivativeRangeKernel kernel = derivative_range_kernel(default_kernel_path());
    kernel(u.data(), u.size(), rho, out);
}

void witt_mao_derivatives_at(std::span<const double> u, double rho, DiskDerivatives* out, KernelPath path) {
    derivative_range_kernel(path)(u.data(), u.size(), rho, out);
}

void witt_mao_derivatives_radii(double u, std::span<const double> radii, DiskDerivatives* out) {
    static const DerivativeRadiiKernel kernel = derivative_radii_kernel(default_kernel_path());
    kernel(u, radii.data(), radii.size(), out);
}

void witt_mao_derivatives_radii(double u, std::span<const double> radii, DiskDerivatives* out, KernelPath path) {
    derivative_radii_kernel(path)(u, radii.data(), radii.size(), out);
}

}  // namespace mirvanta::models
