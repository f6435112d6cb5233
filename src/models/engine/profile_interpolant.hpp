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
#include <memory_resource>
#include <span>
#include <vector>

#include "models/engine/brightness_law.hpp"
#include "models/engine/profile_quadrature.hpp"

namespace mirvanta::models {

// Nodes per piece (Chebyshev points of the first kind), at most.
inline constexpr std::size_t kInterpolantNodes = 20;

// A gradient's parts besides the law's coefficients (the value, dA/du, dA/drho), and the most
// components an interpolant holds.
inline constexpr std::size_t kGradientParts = 3;
inline constexpr std::size_t kMostInterpolantComponents = kGradientParts + kMostCoefficients;

// Nodes per piece for a tolerance: a piece [h, 2h] of the limb's variable sees the limb's bend at
// three of its half-lengths, where Chebyshev interpolation gains a factor 5.8 a node on the bend's
// share of the value.
std::size_t interpolant_nodes(double rtol);

// Nodes for a wide piece [h, 4h] (the limb at 5/3 of its half-length): measured over every law,
// rho 0.1 to 3, its Chebyshev coefficients fall by a factor 5 to 7 a node.
std::size_t wide_interpolant_nodes(double rtol);


struct LawGradient;

class ProfileInterpolant {
public:
    // The pieces it may build for one source: wide pieces [h, 4h] of the limb's variable from the
    // centre (inside) and from the series' reach `far` (outside) towards the limb, and their halves
    // at their geometric middles, kMostHalvings deep. Evaluates nothing.
    // `components`: 1 for the value alone; kGradientParts plus the law's coefficients for the value
    // and its derivatives (a gradient call), each component a Chebyshev interpolant of its own on
    // the same pieces and nodes. Its memory, the build's included, comes from `memory`.
    ProfileInterpolant(double rho, const PreparedLaw& law, double rtol, double far, std::size_t components = 1,
                       std::pmr::memory_resource* memory = std::pmr::get_default_resource());

    // Counts the separations of the call in each piece, a stretch of them at a time (finite,
    // u < far: the series serves the rest); then plan() keeps for the first round the wide pieces
    // that hold at least as many separations as they have nodes. A piece pays only then.
    void count(std::span<const double> u);
    void plan();

    // The separations whose quadrature (at node_rtol()) the first round of the build needs, in
    // the order build() takes their values.
    const std::pmr::vector<double>& first_nodes() const { return first_nodes_; }
    double node_rtol() const { return node_rtol_; }

    // Whether the interpolant serves u: before build(), whether u lies in a piece of the first
    // round; after it, whether a kept piece holds u.
    bool covers(double u) const;

    // Builds the pieces from the first round's values (the quadrature at first_nodes()), checks
    // each and halves those that fail, whose nodes it evaluates on the pool itself, a few rounds
    // at most; a piece that still fails, or one with a node that did not converge, is dropped
    // and its separations are left to the quadrature. Allocates on the calling thread only.
    void build(std::span<const ProfileValue> first);
    void build(std::span<const ProfileGradient> first);

    // The interpolant at u less the uniform disk's share, which is limb_weight() A_disk(u, rho):
    // the value is excess + limb_weight() A_disk(u, rho), so that a caller can take A_disk of many
    // separations together on the lanes. True when a kept piece covers u.
    bool excess(double u, double* out) const;
    double limb_weight() const { return limb_weight_; }
    // In a gradient call, out[k] for each component k (0 the value, 1 and 2 the derivatives in u
    // and rho, 3 + j in coefficient j), less its share of the uniform disk: limb_weight() times
    // A_disk, dA_disk/du and dA_disk/drho for the first three, limb_weight_derivative(j) A_disk
    // for the coefficients'.
    bool excess_components(double u, double* out) const;
    double limb_weight_derivative(std::size_t j) const { return limb_weight_derivatives_[j]; }
    std::size_t components() const { return components_; }
    // In a gradient call, the law's coefficients, for the nodes the build evaluates itself and
    // for the coefficients' shares of the uniform disk. Kept by reference.
    void use_coefficients(const LawGradient& coefficients);

    std::size_t pieces() const { return pieces_.size(); }
    std::size_t nodes_evaluated() const { return nodes_; }
    unsigned disk_evaluations() const { return evaluations_; }

    // Halvings of a wide piece at most: the build's rounds after the first. With the node counts
    // of interpolant_nodes and wide_interpolant_nodes every piece passes by its third halving, at
    // every rtol from 1e-6 to 1e-12, every law and rho measured there (98 % at rtol 1e-13, where
    // the rest go to the quadrature), so that a fourth round would serve nothing from 1e-6 to
    // 1e-12.
    static constexpr int kMostHalvings = 3;

private:
    struct Piece {
        bool inner;            // u < rho: variable s = sqrt(1 - (u/rho)^2); else s = sqrt(u/rho - 1)
        double lo, hi;         // range of s
        std::size_t n;         // nodes (and coefficients)
        std::array<std::array<double, kInterpolantNodes>, kMostInterpolantComponents> coefficients;  // n used
    };
    // A wide piece and its halves, level by level (node k's halves are 2k + 1 and 2k + 2), with
    // the separations each holds.
    struct Tree {
        static constexpr std::size_t kNodes = (std::size_t{2} << kMostHalvings) - 1;
        bool inner;
        double lo[kNodes], hi[kNodes];
        std::size_t held[kNodes];
    };
    // The piece that holds separation u, with u's place in it (y in [-1, 1]) in `y`; null where
    // none does.
    const Piece* piece_at(double u, double& y) const;
    // A piece over [lo, hi] with the nodes its width asks for.
    Piece piece_over(bool inner, double lo, double hi) const;
    // The separations of the call within [lo, hi] of the variable on one side of the limb, for a
    // wide piece or one of its halves.
    std::size_t held(bool inner, double lo, double hi) const;
    // The Chebyshev nodes of the pieces, as separations, piece after piece.
    std::pmr::vector<double> nodes_of(const std::pmr::vector<Piece>& pieces) const;
    // Turns the values at a round's nodes into the pieces kept, and the halves of those that fail
    // (the next round's).
    void keep_or_halve(std::span<const double> nodes, std::span<const ProfileGradient> values);
    // The share of the uniform disk in component k at the separation of a node.
    double disk_share(std::size_t k, double u) const;
    // Whether piece's interpolant of component k holds the tolerance (its last three coefficients
    // within the fit's share of `scale`), after its coefficients are made from f.
    bool fits(Piece& piece, std::size_t k, std::span<const double> f, double scale) const;
    double rho_, far_;
    double rtol_, node_rtol_;
    const PreparedLaw* law_;
    std::pmr::memory_resource* memory_;
    std::pmr::vector<Tree> trees_;     // every wide piece that may be built
    std::pmr::vector<Piece> trial_;    // the pieces the next round builds
    std::pmr::vector<Piece> planned_;  // the first round's pieces, for covers() before the build
    std::pmr::vector<double> first_nodes_;
    double limb_weight_;  // w0 / N: the uniform disk's share, added exactly per separation
    std::array<double, kMostCoefficients> limb_weight_derivatives_{};  // d(w0 / N)/dc_j
    std::size_t components_;
    const LawGradient* coefficients_ = nullptr;
    std::pmr::vector<Piece> pieces_;
    bool built_ = false;
    std::size_t nodes_ = 0;
    unsigned evaluations_ = 0;
};

}  // namespace mirvanta::models
