// A per-call interpolant of the magnification of one source (one rho, one law) as a function of
// the separation, for calls with many separations near the source: piecewise Chebyshev, split at
// the limb (u = rho) and graded towards it from both sides, each piece built from the profile
// engine's quadrature at its nodes (on the worker pool) and kept only where its Chebyshev
// coefficients show that it holds the tolerance. Separations within kLimbWindow rho of the limb,
// and those in pieces that were not kept, are left to the quadrature.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "models/brightness_law.hpp"

namespace mirvanta::models {

// Nodes per piece (Chebyshev points of the first kind), at most.
inline constexpr std::size_t kInterpolantNodes = 16;

// Nodes per piece for a tolerance: each piece sees the limb's bend at three of its half-lengths,
// where Chebyshev interpolation gains a factor 5.8 a node on the bend's share of the value.
std::size_t interpolant_nodes(double rtol);

class ProfileInterpolant {
public:
    // Builds the pieces that the separations `u` need (finite, u < far: the series serves the
    // rest) and that hold at least kInterpolantNodes of them; the quadrature of each node runs on
    // the pool. Allocates on the calling thread only.
    ProfileInterpolant(std::span<const double> u, double rho, const PreparedLaw& law, double rtol, double far);

    // The interpolant at u when a kept piece covers it: true and the value in *out.
    bool evaluate(double u, double* out) const;

    std::size_t pieces() const { return pieces_.size(); }
    std::size_t nodes_evaluated() const { return nodes_; }
    unsigned disk_evaluations() const { return evaluations_; }

private:
    struct Piece {
        bool inner;            // u < rho: variable s = sqrt(1 - (u/rho)^2); else s = sqrt(u/rho - 1)
        double lo, hi;         // range of s
        std::array<double, kInterpolantNodes> coefficients;  // the first nodes_ used
    };
    double rho_;
    std::size_t n_;
    double limb_weight_;  // w0 / N: the uniform disk's share, added exactly per separation
    std::vector<Piece> pieces_;
    std::size_t nodes_ = 0;
    unsigned evaluations_ = 0;
};

}  // namespace mirvanta::models
