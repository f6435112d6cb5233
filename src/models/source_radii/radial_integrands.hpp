// What the quadratures over the source's radius fraction x (0 at the centre, 1 at the limb)
// integrate, for the limb-darkened and flux-map sources: integrands built from uniform disks
// centred on the source, written once for both ways of evaluating their nodes, so that the two
// give the same bits by construction; where such an integrand bends; and the ring variant's form.
#pragma once

#include <cstddef>
#include <span>

#include "models/kernel/heyrovsky.hpp"
#include "models/kernel/witt_mao.hpp"
#include "models/kernel/witt_mao_range.hpp"
#include "numerics/constants.hpp"
#include "numerics/interpolation.hpp"
#include "numerics/quadrature.hpp"

namespace mirvanta::models {

// How a quadrature over the source's radius evaluates the kernel at its nodes: all the nodes of a
// level at once, through the range over radii on a path's lanes, or one node at a time through
// the one-separation kernel, as its integrand is written. Both give the same bits; the second is
// the reference the tests compare the first with.
enum class NodeEvaluation { by_level, one_at_a_time };

}  // namespace mirvanta::models

namespace mirvanta::models::detail {

// A disk integrand needs, at a node x, the uniform-disk magnification of kDisks disks centred on
// the source, the lens at u Einstein radii from its centre. It provides
//   static constexpr std::size_t kDisks;
//   void radii(double x, double* radii) const;  the disks' radii, in Einstein radii
//   double value(double x, const double* magnifications) const;
//                                                the integrand, from the disks' magnifications
//                                                (which it may leave unused: a disk of no area)
//   void limbs_at_lens(double l, double* x) const;
//                                                for each disk, the x where its limb reaches the
//                                                lens, l source radii from the centre (0 <= l < 1)

// The integrand at one node, the kernel called for one disk at a time.
template <class Integrand>
struct NodeByNode {
    const Integrand& integrand;
    double u;

    double operator()(double x) const {
        double disks[Integrand::kDisks];
        integrand.radii(x, disks);
        for (double& disk : disks) disk = witt_mao_magnification_scaled(u, disk);
        return integrand.value(x, disks);
    }
};

// The integrand at a level's nodes, the kernel evaluated for all of their disks at once, on the
// lanes of `path`: the same operations in each node as NodeByNode, so the same bits.
template <class Integrand>
struct NodesByLevel {
    const Integrand& integrand;
    double u;
    KernelPath path;

    void operator()(std::span<const double> x, double* out) const {
        constexpr std::size_t kChunk = 2 * numerics::kMostLevelNodes;
        constexpr std::size_t kDisks = Integrand::kDisks;
        double disks[kDisks * kChunk];
        for (std::size_t first = 0; first < x.size(); first += kChunk) {
            const std::size_t count = x.size() - first < kChunk ? x.size() - first : kChunk;
            for (std::size_t i = 0; i < count; ++i) integrand.radii(x[first + i], disks + kDisks * i);
            witt_mao_magnification_radii(u, std::span<const double>(disks, kDisks * count), disks, path);
            for (std::size_t i = 0; i < count; ++i) out[first + i] = integrand.value(x[first + i], disks + kDisks * i);
        }
    }
};

// Where a disk integrand bends inside (from, to): a disk's magnification bends as a function of
// its radius r where its limb crosses the lens, as (r - l) ln|r - l|, which happens only with the
// lens inside the source (0 <= l < 1). The rule resolves a bend at the end of an interval, not
// one inside it, so the quadrature is split there. Ascending where the integrand lists its disks'
// crossings in ascending order.
template <std::size_t N>
struct Bends {
    double at[N];
    std::size_t count = 0;

    std::span<const double> points() const { return {at, count}; }
};

template <class Integrand>
Bends<Integrand::kDisks> bends(const Integrand& integrand, double l, double from, double to) {
    Bends<Integrand::kDisks> found;
    if (!(l >= 0.0 && l < 1.0)) return found;
    double crossings[Integrand::kDisks];
    integrand.limbs_at_lens(l, crossings);
    for (const double x : crossings) {
        if (x > from && x < to) found.at[found.count++] = x;
    }
    return found;
}

// The integral of a disk integrand over [from, to], split at `points`, its nodes evaluated as
// `nodes` says.
template <class Integrand, class Target>
double integrate_disks(const Integrand& integrand, double u, double from, double to, std::span<const double> points,
                       Target target, NodeEvaluation nodes, KernelPath path) {
    if (nodes == NodeEvaluation::by_level) {
        return numerics::integrate_in_pieces(numerics::BatchedIntegrand{NodesByLevel<Integrand>{integrand, u, path}},
                                             from, to, points, target);
    }
    return numerics::integrate_in_pieces(NodeByNode<Integrand>{integrand, u}, from, to, points, target);
}

// The ring variant's integrand without its profile, for one separation (source radii):
// x -> 2 pi x (A(x) + x/2 A'(x)), with A the ring magnification of radius x and A' its
// central-difference derivative: the radial derivative of pi x^2 A(x). Ring-kernel failures count
// as NaN, which the quadrature drops.
inline auto ring_derivative_form(double separation, double re, double rstar) {
    const auto ring = [=](double radius) {
        return heyrovsky_magnification(separation, radius, re, rstar).value_or(numerics::kNaN);
    };
    return [=](double x) {
        const double a = ring(x);
        const double slope = numerics::central_difference_derivative(ring, x);
        return (x * numerics::kTwoPi) * (a + (x * 0.5) * slope);
    };
}

}  // namespace mirvanta::models::detail
