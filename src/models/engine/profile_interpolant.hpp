// A per-call interpolant of the magnification of one source (one rho, one law) as a function of
// the separation, for calls with many separations near the source: piecewise Chebyshev, split at
// the limb (u = rho) and graded towards it from both sides, each piece built from the profile
// engine's quadrature at its nodes (on the worker pool) and kept only where its Chebyshev
// coefficients show that it holds the tolerance. Separations within 0.05 % (inside) or 0.1 %
// (outside) of rho from the limb, and those in pieces that were not kept, are left to the
// quadrature.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "models/engine/brightness_law.hpp"

namespace mirvanta::models {

// Nodes per piece (Chebyshev points of the first kind), at most.
inline constexpr std::size_t kInterpolantNodes = 20;

// Nodes per piece for a tolerance: a piece [h, 2h] of the limb's variable sees the limb's bend at
// three of its half-lengths, where Chebyshev interpolation gains a factor 5.8 a node on the bend's
// share of the value.
std::size_t interpolant_nodes(double rtol);

// Nodes for a wide piece [h, 4h] (the limb at 5/3 of its half-length): measured over every law,
// rho 0.1 to 3, its Chebyshev coefficients fall by a factor 5 to 7 a node.
std::size_t wide_interpolant_nodes(double rtol);

struct ProfileValue;

class ProfileInterpolant {
public:
    // Plans the pieces that the separations `u` need (finite, u < far: the series serves the
    // rest) and that hold at least as many of them as a piece has nodes: wide pieces [h, 4h]
    // from the centre (inside) and from the series' reach (outside) towards the limb, halved
    // at their geometric middle where they fail. Evaluates nothing.
    ProfileInterpolant(std::span<const double> u, double rho, const PreparedLaw& law, double rtol, double far);

    // The separations whose quadrature (at node_rtol()) the first round of the build needs, in
    // the order build() takes their values; and whether a separation lies in a planned piece.
    const std::vector<double>& first_nodes() const { return first_nodes_; }
    double node_rtol() const { return node_rtol_; }
    bool planned(double u) const;

    // Builds the pieces from the first round's values (the quadrature at first_nodes()), checks
    // each and halves those that fail, whose nodes it evaluates on the pool itself, a few rounds
    // at most; a piece that still fails, or one with a node that did not converge, is dropped
    // and its separations are left to the quadrature. Allocates on the calling thread only.
    void build(std::span<const ProfileValue> first);

    // The interpolant at u when a kept piece covers it: true and the value in *out.
    bool evaluate(double u, double* out) const;
    // The same less the uniform disk's share, which is limb_weight() A_disk(u, rho): the value is
    // excess + limb_weight() A_disk(u, rho), so that a caller can take A_disk of many separations
    // together on the lanes.
    bool excess(double u, double* out) const;
    double limb_weight() const { return limb_weight_; }

    std::size_t pieces() const { return pieces_.size(); }
    std::size_t nodes_evaluated() const { return nodes_; }
    unsigned disk_evaluations() const { return evaluations_; }

private:
    struct Piece {
        bool inner;            // u < rho: variable s = sqrt(1 - (u/rho)^2); else s = sqrt(u/rho - 1)
        double lo, hi;         // range of s
        std::size_t n;         // nodes (and coefficients)
        std::array<double, kInterpolantNodes> coefficients;  // the first n used
    };
    // A piece over [lo, hi] with the nodes its width asks for.
    Piece piece_over(bool inner, double lo, double hi) const;
    // The separations of the call within [lo, hi] of the variable on one side of the limb.
    std::size_t held(bool inner, double lo, double hi) const;
    // The Chebyshev nodes of the pieces, as separations, piece after piece.
    std::vector<double> nodes_of(const std::vector<Piece>& pieces) const;
    // Turns the values at a round's nodes into the pieces kept, and the halves of those that fail
    // (the next round's).
    void keep_or_halve(std::span<const double> nodes, std::span<const ProfileValue> values);
    double rho_;
    double rtol_, node_rtol_;
    std::vector<double> inner_held_, outer_held_;  // the separations' variables, ascending
    const PreparedLaw* law_;
    std::vector<Piece> trial_;         // the pieces the next round builds
    std::vector<Piece> planned_;       // the first round's pieces, for planned()
    std::vector<double> first_nodes_;
    double limb_weight_;  // w0 / N: the uniform disk's share, added exactly per separation
    std::vector<Piece> pieces_;
    std::size_t nodes_ = 0;
    unsigned evaluations_ = 0;
};

}  // namespace mirvanta::models
