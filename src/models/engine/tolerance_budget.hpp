// How a call's relative tolerance rtol is shared among the engine's approximations: every route
// takes its share here, and each share says why it is what it is. A result is within rtol when
// the approximations that produced it stay within their shares together.
#pragma once

namespace mirvanta::models::budget {

// The far-field series: its truncation, bounded rigorously term by term (c_k m_k x^(2k), a
// geometric tail), within a quarter of rtol. The rest covers the rounding of its terms (a few
// 1e-16) with a wide margin: the series makes no other error.
inline constexpr double kSeries = 0.25;

// The quadrature: its estimated absolute error within half of rtol times the uniform disk's
// magnified flux, which is of the order of the result's. The estimates are conservative (the
// true errors measured are far below them); the other half is the margin for the kernel's own
// errors (up to 7.4e-13 relative, kWorstDiskError) at the finest tolerance.
inline constexpr double kQuadrature = 0.5;

// The per-call interpolant: each node is a quadrature at a fifth of rtol, and a piece is kept
// only where its last three Chebyshev coefficients are within a tenth of rtol of its values.
// With the Lebesgue constant of at most 20 Chebyshev nodes (2.9), the nodes' errors carry at
// most 0.58 rtol into an interpolated value and the truncation at most 0.1 rtol: within rtol.
inline constexpr double kInterpolantNodes = 0.2;
inline constexpr double kInterpolantFit = 0.1;
static_assert(kInterpolantNodes * 2.9 + kInterpolantFit < 1.0);

// The bases' tables: at each separation, the bound that their measured errors give (each basis's
// worst relative error off the generator's nodes plus its reference's own, weighed by the law's
// weights: TableLaw::error_bound) within a quarter of rtol, else the quadrature serves it. The
// margin of 4 covers the measurement's sampling (the midpoints between nodes, where the
// interpolation's error peaks) and the rounding of the series' sums (a few 1e-16).
inline constexpr double kTable = 0.25;

}  // namespace mirvanta::models::budget
