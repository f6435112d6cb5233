#include "models/engine/profile_interpolant.hpp"

#include <algorithm>
#include <cmath>

#include "models/engine/law_gradient.hpp"
#include "models/engine/profile_quadrature.hpp"
#include "models/engine/tolerance_budget.hpp"
#include "models/kernel/disk_derivatives.hpp"
#include "models/kernel/witt_mao.hpp"
#include "numerics/constants.hpp"
#include "parallel/parallel_map.hpp"

namespace mirvanta::models {
namespace {

// The pieces' variables: inside, s = sqrt(1 - (u/rho)^2), outside, s = sqrt(u/rho - 1), both 0
// at the limb. Less the uniform disk's share, the magnification bends at the limb as
// |u - rho|^(3/2) (the limb's mu = sqrt(1 - x^2) of the laws), which is s^3, and more weakly
// (powers of |u - rho| times its logarithm); inside it is even in u, so analytic in s up to the
// centre, s = 1. The pieces quarter their distance from the limb, from s = 1 (inside) or the
// series' reach (outside) down to s = 1/32: each sees the limb at 5/3 of its half-length; one that
// fails is halved at its geometric middle, whose halves see it at three of theirs, where Chebyshev
// interpolation gains a factor 5.8 a node. Separations with s below 1/32 (within 0.05 % of rho
// inside, 0.1 % outside) are left to the quadrature.
constexpr double kFirstBound = 1.0 / 32.0;

// Nodes a piece of a gradient call takes beyond the value's: measured on the quadratic law's
// 2,000-epoch curves at rho 0.1 and 1, rtol 1e-10, its wide pieces' dA/du failed their test by
// factors of 8 to 26, which the wide pieces' rate (a factor 3 a node) needs 2 to 3 nodes for.
constexpr std::size_t kGradientExtraNodes = 4;

double separation_at(bool inner, double s, double rho) {
    return inner ? rho * std::sqrt((1.0 - s) * (1.0 + s)) : rho * (1.0 + s * s);
}

double variable_at(bool inner, double u, double rho) {
    const double x = u / rho;
    return inner ? std::sqrt((1.0 - x) * (1.0 + x)) : std::sqrt(x - 1.0);
}

// Chebyshev points of the first kind on [-1, 1], cos((2j + 1) pi / (2N)).
double chebyshev_point(std::size_t j, std::size_t n) {
    return std::cos((2.0 * static_cast<double>(j) + 1.0) * numerics::kPi / (2.0 * static_cast<double>(n)));
}

}  // namespace

// The node counts below are measured: for every piece the build may make (both sides of the limb,
// each wide piece and its halves three levels deep), the fewest nodes with which it passes its
// test (the last three coefficients within budget::kInterpolantFit rtol of its values, the nodes
// by the quadrature at budget::kInterpolantNodes rtol as the build takes them), over the laws
// linear 0.6 and 0.95, quadratic (0.5, 0.2) and (0.1, 0.8), square root (0.3, 0.4) and (0, 1),
// power-2 (0.6, 0.7), (0.4, 2.5) and (0.7, 0.16), logarithmic (0.6, -0.4) and Claret (0.6, -0.3,
// 0.9, -0.45), rho 0.01, 0.1, 1 and 3. A count need not pass every piece: one that fails is
// halved (the next round), whose halves see the limb further off in their half-lengths and need
// fewer nodes. The counts pass most pieces at each tolerance (the figures below, from building
// each piece at 4 to 20 nodes), and by the third halving every piece passes, to rtol 1e-12.

// Halves [h, 2h] and their halves. The fewest that pass every half: 10, 11, 12, 13, 14, 15, 16
// and 18 nodes at rtol 1e-6, 1e-7, ..., 1e-13 (about 1 node a decade: the coefficients fall by
// about 10 a node, faster than the bound's 5.8, since the bend is as weak as s^3). With these
// counts 100 % of the halves pass at 1e-6, 98 % at 1e-7, 100 % at 1e-8, 97, 84 and 69 % at 1e-9
// to 1e-11, 100 % at 1e-12 and 91 % at 1e-13; their halves all pass from 1e-6 to 1e-12 but 1, 1
// and 9 of 1,056 at 1e-6, 1e-7 and 1e-11, and 97 % at 1e-13.
std::size_t interpolant_nodes(double rtol) {
    if (rtol >= 1e-7) return 10;
    if (rtol >= 1e-11) return 12;
    return 16;
}

// Wide pieces [h, 4h]: 11 nodes at rtol 1e-6 and 1.25 more a decade (the coefficients fall by a
// factor 10^(1/1.25) = 6.3 a node, the middle of the 5 to 7 measured over the laws), at most
// kInterpolantNodes. The fewest that pass every wide piece: 12, 13, 15, 17, 18 and 20 nodes at
// rtol 1e-6 to 1e-11, more than 20 below (square-root and linear laws); with these
// counts 97, 100, 98, 94, 86, 89, 83 and 76 % of them pass at 1e-6, 1e-7, ..., 1e-13, and the
// rest are halved.
std::size_t wide_interpolant_nodes(double rtol) {
    const double n = std::ceil(11.0 + 1.25 * std::log10(1e-6 / rtol));
    return static_cast<std::size_t>(std::clamp(n, 11.0, static_cast<double>(kInterpolantNodes)));
}

ProfileInterpolant::ProfileInterpolant(double rho, const PreparedLaw& law, double rtol, double far,
                                       std::size_t components, std::pmr::memory_resource* memory)
    : rho_(rho), far_(far), rtol_(rtol), node_rtol_(rtol * budget::kInterpolantNodes), law_(&law), memory_(memory),
      trees_(memory), trial_(memory), planned_(memory), first_nodes_(memory),
      limb_weight_(law.law.kind == LawKind::tabulated ? 0.0 : law.terms[0].weight / law.flux),
      components_(components), pieces_(memory) {
    // Wide pieces from the far end of each side towards the limb, a quarter of the length at a
    // time, the last down to kFirstBound; each with its halves, at their geometric middles.
    const double outer_end = std::sqrt(far / rho - 1.0);
    for (const bool inner : {true, false}) {
        for (double hi = inner ? 1.0 : outer_end; hi > kFirstBound; hi *= 0.25) {
            Tree& tree = trees_.emplace_back();
            tree.inner = inner;
            tree.lo[0] = std::max(hi * 0.25, kFirstBound);
            tree.hi[0] = hi;
            for (std::size_t k = 0; 2 * k + 2 < Tree::kNodes; ++k) {
                const double middle = std::sqrt(tree.lo[k] * tree.hi[k]);
                tree.lo[2 * k + 1] = tree.lo[k];
                tree.hi[2 * k + 1] = middle;
                tree.lo[2 * k + 2] = middle;
                tree.hi[2 * k + 2] = tree.hi[k];
            }
            std::fill(tree.held, tree.held + Tree::kNodes, std::size_t{0});
        }
    }
}

void ProfileInterpolant::count(std::span<const double> u) {
    for (const double x : u) {
        if (!(x >= 0.0 && x < far_)) continue;
        const bool inner = x < rho_;
        const double t = variable_at(inner, x, rho_);
        if (!(t >= kFirstBound)) continue;
        for (Tree& tree : trees_) {
            if (tree.inner != inner || !(t >= tree.lo[0] && t <= tree.hi[0])) continue;
            // Down the halves that hold t (both, where t is a middle: each range is closed).
            std::size_t stack[Tree::kNodes];
            std::size_t top = 0;
            stack[top++] = 0;
            while (top > 0) {
                const std::size_t k = stack[--top];
                if (!(t >= tree.lo[k] && t <= tree.hi[k])) continue;
                ++tree.held[k];
                if (2 * k + 2 < Tree::kNodes) {
                    stack[top++] = 2 * k + 1;
                    stack[top++] = 2 * k + 2;
                }
            }
        }
    }
}

void ProfileInterpolant::plan() {
    for (const Tree& tree : trees_) {
        const Piece piece = piece_over(tree.inner, tree.lo[0], tree.hi[0]);
        if (tree.held[0] >= piece.n) trial_.push_back(piece);
    }
    planned_ = trial_;
    first_nodes_ = nodes_of(trial_);
}

ProfileInterpolant::Piece ProfileInterpolant::piece_over(bool inner, double lo, double hi) const {
    const std::size_t n = hi > 2.0 * lo ? wide_interpolant_nodes(rtol_) : interpolant_nodes(rtol_);
    // The derivatives bend more at the limb than the value (the value's s^4 ln s is s^2 ln s in
    // dA/du): the Chebyshev coefficients of a piece fall by the same factor a node but from a
    // level a power of the node count higher, which kGradientExtraNodes more nodes make up for.
    return {inner, lo, hi, components_ > 1 ? std::min(kInterpolantNodes, n + kGradientExtraNodes) : n, {}};
}

std::size_t ProfileInterpolant::held(bool inner, double lo, double hi) const {
    for (const Tree& tree : trees_) {
        if (tree.inner != inner) continue;
        for (std::size_t k = 0; k < Tree::kNodes; ++k) {
            if (tree.lo[k] == lo && tree.hi[k] == hi) return tree.held[k];
        }
    }
    return 0;
}

std::pmr::vector<double> ProfileInterpolant::nodes_of(const std::pmr::vector<Piece>& pieces) const {
    std::pmr::vector<double> nodes(memory_);
    for (const Piece& piece : pieces) {
        const double middle = (piece.lo + piece.hi) * 0.5, half = (piece.hi - piece.lo) * 0.5;
        for (std::size_t j = 0; j < piece.n; ++j) {
            nodes.push_back(separation_at(piece.inner, middle + half * chebyshev_point(j, piece.n), rho_));
        }
    }
    return nodes;
}

bool ProfileInterpolant::covers(double u) const {
    if (!(u >= 0.0)) return false;
    const bool inner = u < rho_;
    const double t = variable_at(inner, u, rho_);
    for (const Piece& piece : built_ ? pieces_ : planned_) {
        if (piece.inner == inner && t >= piece.lo && t <= piece.hi) return true;
    }
    return false;
}

void ProfileInterpolant::build(std::span<const ProfileValue> first) {
    std::pmr::vector<ProfileGradient> values(first.size(), memory_);
    for (std::size_t i = 0; i < first.size(); ++i) values[i].value = first[i];
    build(std::span<const ProfileGradient>(values));
}

void ProfileInterpolant::build(std::span<const ProfileGradient> first) {
    std::pmr::vector<double> nodes(first_nodes_, memory_);
    std::pmr::vector<ProfileGradient> later(memory_);
    std::span<const ProfileGradient> values = first;
    for (int round = 0; round <= kMostHalvings && !trial_.empty(); ++round) {
        if (round > 0) {  // the halves' nodes, on the pool
            nodes = nodes_of(trial_);
            later.assign(nodes.size(), ProfileGradient{});
            const PreparedLaw& law = *law_;
            const double rho = rho_, node_rtol = node_rtol_;
            const bool gradient = components_ > 1;
            parallel::parallel_map_into(std::span<const double>(nodes), later.data(), [&](double x) {
                if (gradient) return gradient_by_quadrature(x, rho, law, *coefficients_, node_rtol, nullptr);
                ProfileGradient g;
                g.value = profile_by_quadrature(x, rho, law, node_rtol);
                return g;
            });
            values = later;
        }
        for (const ProfileGradient& v : values) evaluations_ += v.value.evaluations;
        nodes_ += nodes.size();
        keep_or_halve(nodes, values);
    }
    trial_.clear();
    std::sort(pieces_.begin(), pieces_.end(), [](const Piece& a, const Piece& b) {
        return a.inner != b.inner ? a.inner : a.lo < b.lo;
    });
    built_ = true;
}

void ProfileInterpolant::use_coefficients(const LawGradient& coefficients) {
    coefficients_ = &coefficients;
    for (std::size_t j = 0; j < coefficients.count; ++j) limb_weight_derivatives_[j] = coefficients.analytic[j].limb_weight;
}

double ProfileInterpolant::disk_share(std::size_t k, double u) const {
    if (k == 0) return limb_weight_ * witt_mao_magnification_scaled(u, rho_);
    if (k >= kGradientParts) return limb_weight_derivatives_[k - kGradientParts] * witt_mao_magnification_scaled(u, rho_);
    const DiskDerivatives disk = witt_mao_derivatives(u, rho_);
    return limb_weight_ * (k == 1 ? disk.du : disk.drho);
}

bool ProfileInterpolant::fits(Piece& piece, std::size_t k, std::span<const double> f, double scale) const {
    const std::size_t kN = piece.n;
    // c_m = (2/N) sum_j f_j cos(m (2j + 1) pi / (2N)), c_0 halved.
    for (std::size_t m = 0; m < kN; ++m) {
        double sum = 0.0;
        for (std::size_t j = 0; j < kN; ++j) {
            sum += f[j] * std::cos(static_cast<double>(m) * (2.0 * static_cast<double>(j) + 1.0) * numerics::kPi /
                                   (2.0 * static_cast<double>(kN)));
        }
        piece.coefficients[k][m] = sum * 2.0 / static_cast<double>(kN) * (m == 0 ? 0.5 : 1.0);
    }
    // The last three coefficients bound the interpolant's error where they fall as fast as the
    // ones before them.
    const auto& c = piece.coefficients[k];
    const double tail = std::fabs(c[kN - 1]) + std::fabs(c[kN - 2]) + std::fabs(c[kN - 3]);
    return tail <= rtol_ * budget::kInterpolantFit * scale;
}

void ProfileInterpolant::keep_or_halve(std::span<const double> nodes, std::span<const ProfileGradient> values) {
    std::pmr::vector<Piece> again(memory_);
    std::pmr::vector<double> f(memory_);
    std::size_t first = 0;  // the piece's first node
    for (std::size_t p = 0; p < trial_.size(); first += trial_[p].n, ++p) {
        Piece piece = trial_[p];
        const std::size_t kN = piece.n;
        bool usable = true, kept = true;
        for (std::size_t j = 0; j < kN; ++j) {
            const ProfileValue& v = values[first + j].value;
            usable = usable && v.converged && std::isfinite(v.value);
        }
        if (!usable) continue;  // a node did not converge: the quadrature keeps this piece
        for (std::size_t k = 0; k < components_ && kept; ++k) {
            // Each component less its share of the uniform disk, which is added back exactly where
            // the interpolant is used; its scale the value's, or A/rho for the derivatives in u
            // and rho.
            double scale = k == 1 ? numerics::kInfinity : 0.0;
            f.assign(kN, 0.0);
            for (std::size_t j = 0; j < kN; ++j) {
                const ProfileGradient& g = values[first + j];
                const double v = component_of(g, k);
                // dA/du is odd in u, u = rho sqrt(1 - s^2) inside: over u it is even, a function
                // of u^2, analytic in s up to the centre (s = 1) as the value is.
                const double over = k == 1 ? nodes[first + j] : 1.0;
                f[j] = (v - disk_share(k, nodes[first + j])) / over;
                const double floor = k == 1 || k == 2 ? std::fabs(g.value.value) / rho_ : std::fabs(g.value.value);
                const double own = k == 0 ? std::fabs(v) : std::max(std::fabs(v), floor);
                // Over u, the error may be at most the least of the scales over u.
                scale = k == 1 ? std::min(scale, own / over) : std::max(scale, own);
            }
            kept = fits(piece, k, f, scale);
        }
        if (kept) {
            pieces_.push_back(piece);
            continue;
        }
        // Halved at its geometric middle (each half then sees the limb at the same distance in
        // its half-lengths), each half built where it holds as many separations as nodes.
        const double middle = std::sqrt(piece.lo * piece.hi);
        for (const Piece& half : {piece_over(piece.inner, piece.lo, middle), piece_over(piece.inner, middle, piece.hi)}) {
            if (held(half.inner, half.lo, half.hi) >= half.n) again.push_back(half);
        }
    }
    trial_ = std::move(again);
}

namespace {

// Clenshaw's recurrence for a piece's interpolant of one component at y in [-1, 1].
double clenshaw(const std::array<double, kInterpolantNodes>& c, std::size_t n, double y) {
    double b1 = 0.0, b2 = 0.0;
    for (std::size_t k = n; k-- > 1;) {
        const double b0 = 2.0 * y * b1 - b2 + c[k];
        b2 = b1;
        b1 = b0;
    }
    return y * b1 - b2 + c[0];
}

// clenshaw() for the first `components` components of a piece at once, each the same operations
// in the same order as its own call (the same bits): the components' recurrences interleaved,
// independent of one another.
template <std::size_t Components>
void clenshaw_fixed(const std::array<std::array<double, kInterpolantNodes>, kMostInterpolantComponents>& c,
                    std::size_t n, double y, double* out) {
    double b1[Components] = {}, b2[Components] = {};
    const double y2 = 2.0 * y;
    for (std::size_t k = n; k-- > 1;) {
        for (std::size_t j = 0; j < Components; ++j) {
            const double b0 = y2 * b1[j] - b2[j] + c[j][k];
            b2[j] = b1[j];
            b1[j] = b0;
        }
    }
    for (std::size_t j = 0; j < Components; ++j) out[j] = y * b1[j] - b2[j] + c[j][0];
}

void clenshaw_components(const std::array<std::array<double, kInterpolantNodes>, kMostInterpolantComponents>& c,
                         std::size_t components, std::size_t n, double y, double* out) {
    switch (components) {
        case 3: return clenshaw_fixed<3>(c, n, y, out);
        case 4: return clenshaw_fixed<4>(c, n, y, out);
        case 5: return clenshaw_fixed<5>(c, n, y, out);
        case 6: return clenshaw_fixed<6>(c, n, y, out);
        case 7: return clenshaw_fixed<7>(c, n, y, out);
        default: break;
    }
    for (std::size_t k = 0; k < components; ++k) out[k] = clenshaw(c[k], n, y);
}

}  // namespace

const ProfileInterpolant::Piece* ProfileInterpolant::piece_at(double u, double& y) const {
    if (pieces_.empty() || !(u >= 0.0)) return nullptr;
    const bool inner = u < rho_;
    const double t = variable_at(inner, u, rho_);
    for (const Piece& piece : pieces_) {
        if (piece.inner != inner || t < piece.lo || t > piece.hi) continue;
        y = (2.0 * t - (piece.lo + piece.hi)) / (piece.hi - piece.lo);
        return &piece;
    }
    return nullptr;
}

bool ProfileInterpolant::excess(double u, double* out) const {
    double y = 0.0;
    const Piece* piece = piece_at(u, y);
    if (piece == nullptr) return false;
    *out = clenshaw(piece->coefficients[0], piece->n, y);
    return true;
}

bool ProfileInterpolant::excess_components(double u, double* out) const {
    double y = 0.0;
    const Piece* piece = piece_at(u, y);
    if (piece == nullptr) return false;
    clenshaw_components(piece->coefficients, components_, piece->n, y, out);
    if (components_ > 1) out[1] = out[1] * u;  // interpolated over u (keep_or_halve)
    return true;
}

}  // namespace mirvanta::models
