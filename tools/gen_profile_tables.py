#!/usr/bin/env python3
"""Generate the profile engine's tables of the basis profiles' magnifications over (x = u/rho, rho).

    python3 tools/gen_profile_tables.py            # rewrite src/models/engine/profile_tables_data.hpp
    python3 tools/gen_profile_tables.py --check    # recompute and compare with the committed header
    python3 tools/gen_profile_tables.py --measure  # only the error map (no header written)

Needs the module installed (`pip install ".[tools]"`: mpmath, numpy). About a minute.

The bases are the brightness profiles 1 (the uniform disk), mu, mu^2, mu^(1/2) and mu^(3/2)
(mu = sqrt(1 - r^2)): a law linear in its coefficients over these bases (linear, quadratic,
square-root, Claret's four-coefficient) has a magnified flux that is the same combination of
theirs. Each basis's magnification A_j(x, rho) is tabulated as a
tensor-product Chebyshev interpolant on pieces:

- in x: [0, 1/2], then pieces halving their distance to the limb, up to 1 - 2^-14, and, outside,
  from 1 + 2^-14 out by doubling the distance to 1 + 1/2, then [3/2, 2]. A piece of the limb's
  geometric grading sees the limb (where A_j bends as (x - 1) ln|x - 1| for the disk,
  |x - 1|^(3/2) and weaker for mu and mu^2) at its own half-length from its end, so the
  Chebyshev series converges there geometrically; separations nearer the limb than 2^-14 are
  not covered;
- in ln rho: equal pieces over [ln 0.1, ln 10].

Values at the Chebyshev nodes of the first kind (kNodesX x kNodesRho per piece, 16 x 12 over 28
x pieces and 6 rho pieces: 32,256 coefficients a basis, 1.29 MB in the extension for five): the disk from this
module's kernel (within 7.4e-13 of the exact value; mpmath's closed form takes 20 ms a value),
the others from this module at rtol 1e-13 (Quadratic(1, 0), Quadratic(2, -1), SquareRoot(0, 1)
and Claret(0, 0, 1, 0), one separation a call, each its own quadrature). The error map: at the midpoints between consecutive nodes in
both directions and at the pieces' ends (points the fit did not use), the table against the same
references; the worst relative error of each basis, plus the reference's own bound (7.4e-13 for
the kernel, 1e-13 for the engine's rtol), rounded up, is written into the header (kTableError)
and printed per piece. A few points of the laws are also checked against the 1-D mpmath
reference (law_by_parts), independently of the engine. Smaller tables measured: 12 x 12 nodes
over 8 rho pieces missed by 8.7e-12 (the widest x pieces, [0, 1/2] and [3/2, 2]); 14 x 12 over
6 by 6.9e-13.
"""

import argparse
import math
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import gen_profile_reference as reference  # noqa: E402

import mirvanta  # noqa: E402

HEADER = pathlib.Path(__file__).resolve().parent.parent / "src/models/engine/profile_tables_data.hpp"

LIMB_GAP_EXPONENT = 14  # separations within 2^-14 of the limb are left to the engine
RHO_LOW, RHO_HIGH = 0.1, 10.0
RHO_PIECES = 6
NODES_X = 16
NODES_RHO = 12
# The bases mu^p in the order of the header: p = 0 (the disk), 1, 2, 1/2, 3/2.
BASES = ("disk", "mu", "mu2", "mu05", "mu15")
FLUXES = {"disk": 1.0, "mu": 2.0 / 3.0, "mu2": 0.5, "mu05": 0.8, "mu15": 4.0 / 7.0}  # 2/(p + 2)
REFERENCE_BOUND = {"disk": 7.4e-13, "mu": 1e-13, "mu2": 1e-13, "mu05": 1e-13, "mu15": 1e-13}  # the references' own
LAWS = {"mu": mirvanta.Quadratic(1.0, 0.0), "mu2": mirvanta.Quadratic(2.0, -1.0), "mu05": mirvanta.SquareRoot(0.0, 1.0),
        "mu15": mirvanta.Claret(0.0, 0.0, 1.0, 0.0)}


def x_edges():
    inside = [0.0] + [1.0 - 2.0 ** -k for k in range(1, LIMB_GAP_EXPONENT + 1)]
    outside = [1.0 + 2.0 ** -k for k in range(LIMB_GAP_EXPONENT, 0, -1)] + [2.0]
    return inside, outside


def x_pieces():
    inside, outside = x_edges()
    return list(zip(inside[:-1], inside[1:])) + list(zip(outside[:-1], outside[1:]))


def rho_edges():
    lo, hi = math.log(RHO_LOW), math.log(RHO_HIGH)
    return [lo + (hi - lo) * k / RHO_PIECES for k in range(RHO_PIECES + 1)]


def cheb_nodes(n):
    return np.cos(np.pi * (np.arange(n) + 0.5) / n)  # descending in t


def on_piece(t, a, b):
    return 0.5 * (a + b) + 0.5 * (b - a) * t


def engine_values(basis, u, rho):
    """One separation a call (many of one radius would get the call's interpolant): each value is
    its own quadrature at 1e-13."""
    if basis == "disk":
        return np.asarray(mirvanta.magnification(u, rho))
    out = np.empty(len(u))
    for i in range(len(u)):
        out[i] = mirvanta.magnification(float(u[i]), float(rho[i]), LAWS[basis], rtol=1e-13)
    return out


def grid(xs, rhos):
    """All (x, rho) pairs as flat u, rho arrays (u = x rho)."""
    X, R = np.meshgrid(xs, rhos, indexing="ij")
    return (X * R).ravel(), R.ravel()


def fit(values):
    """2-D Chebyshev coefficients c[j][k] of values on the first-kind nodes (j in x, k in rho)."""
    nx, nr = values.shape
    tx, tr = cheb_nodes(nx), cheb_nodes(nr)
    Tx = np.cos(np.outer(np.arange(nx), np.arccos(tx)))  # Tx[j, i] = T_j(t_i)
    Tr = np.cos(np.outer(np.arange(nr), np.arccos(tr)))
    c = (2.0 / nx) * (2.0 / nr) * Tx @ values @ Tr.T
    c[0, :] *= 0.5
    c[:, 0] *= 0.5
    return c


def evaluate(c, tx, tr):
    """The interpolant at t in x and t in rho, as the engine does: first along rho, then Clenshaw in x."""
    nx, nr = c.shape
    Tr = np.cos(np.arange(nr) * math.acos(max(-1.0, min(1.0, tr))))
    row = c @ Tr
    b1 = b2 = 0.0
    for j in range(nx - 1, 0, -1):
        b1, b2 = 2.0 * tx * b1 - b2 + row[j], b1
    return tx * b1 - b2 + row[0]


def build(measure_only=False):
    xp, redges = x_pieces(), rho_edges()
    rp = list(zip(redges[:-1], redges[1:]))
    tx, tr = cheb_nodes(NODES_X), cheb_nodes(NODES_RHO)
    # Check points: midpoints between consecutive nodes and the pieces' ends (t = +-1).
    cx = np.concatenate([[1.0], 0.5 * (tx[:-1] + tx[1:]), [-1.0]])
    cr = np.concatenate([[1.0], 0.5 * (tr[:-1] + tr[1:]), [-1.0]])
    xs = np.concatenate([on_piece(tx, a, b) for a, b in xp])
    xs_check = np.concatenate([on_piece(cx, a, b) for a, b in xp])
    coefficients = {}
    worst = {}
    worst_where = {}
    for basis in BASES:
        coefficients[basis] = []
        worst[basis] = 0.0
        for p, (la, lb) in enumerate(rp):
            rhos = np.exp(on_piece(tr, la, lb))
            u, r = grid(xs, rhos)
            values = engine_values(basis, u, r).reshape(len(xs), len(rhos))
            piece_coefficients = []
            for q in range(len(xp)):
                piece_coefficients.append(fit(values[q * NODES_X:(q + 1) * NODES_X, :]))
            coefficients[basis].append(piece_coefficients)
            rhos_check = np.exp(on_piece(cr, la, lb))
            u, r = grid(xs_check, rhos_check)
            check = engine_values(basis, u, r).reshape(len(xs_check), len(rhos_check))
            n = len(cx)
            for q, (a, b) in enumerate(xp):
                piece_worst = 0.0
                for i, t in enumerate(cx):
                    for k, s in enumerate(cr):
                        got = evaluate(piece_coefficients[q], t, s)
                        want = check[q * n + i, k]
                        piece_worst = max(piece_worst, abs(got - want) / want)
                if piece_worst > worst[basis]:
                    worst[basis] = piece_worst
                    worst_where[basis] = (a, b, math.exp(la), math.exp(lb))
                print(f"{basis} rho [{math.exp(la):.4g}, {math.exp(lb):.4g}] x [{a:.9g}, {b:.9g}]: {piece_worst:.2e}",
                      flush=True)
        print(f"{basis}: worst relative error {worst[basis]:.3e} at x, rho pieces {worst_where[basis]}", flush=True)
        worst[basis] += REFERENCE_BOUND[basis]
    return coefficients, worst


def weights(law, cs):
    """A law's weights on the bases (its brightness as sum_j w_j mu^p_j)."""
    if law == "quadratic":
        a, b = cs
        return {"disk": 1 - a - b, "mu": a + 2 * b, "mu2": -b}
    if law == "square_root":
        c, d = cs
        return {"disk": 1 - c - d, "mu": c, "mu05": d}
    return {"disk": 1 - sum(cs), "mu05": cs[0], "mu": cs[1], "mu15": cs[2], "mu2": cs[3]}  # claret


def spot_check(coefficients):
    """The table's laws against the 1-D mpmath reference at points off the nodes."""
    xp, redges = x_pieces(), rho_edges()
    laws = [("quadratic", (0.4, 0.0)), ("quadratic", (0.6, 0.0)), ("quadratic", (0.3, 0.2)),
            ("square_root", (0.3, 0.4)), ("claret", (0.6, -0.3, 0.9, -0.45))]
    points = [(0.37, 0.13), (0.9871, 1.7), (1.0123, 4.3), (1.61, 0.55), (0.05, 9.1), (0.999, 0.23), (1.3, 2.9),
              (0.71, 0.31), (1.9, 7.7), (0.52, 1.1)]
    worst = 0.0
    for k, (x, rho) in enumerate(points):
        law, cs = laws[k % len(laws)]
        q = next(i for i, (lo, hi) in enumerate(xp) if lo <= x <= hi)
        lr = math.log(rho)
        p = min(int((lr - redges[0]) / (redges[1] - redges[0])), RHO_PIECES - 1)
        tx = (2 * x - xp[q][0] - xp[q][1]) / (xp[q][1] - xp[q][0])
        trr = (2 * lr - redges[p] - redges[p + 1]) / (redges[p + 1] - redges[p])
        w = weights(law, cs)
        A = {j: evaluate(coefficients[j][p][q], tx, trr) for j in w}
        got = sum(w[j] * FLUXES[j] * A[j] for j in w) / sum(w[j] * FLUXES[j] for j in w)
        want = float(reference.law_by_parts(law, list(cs), rho, x))
        err = abs(got - want) / want
        worst = max(worst, err)
        print(f"{law}{cs} x {x} rho {rho}: table {got!r} mpmath {want!r} relative {err:.2e}", flush=True)
    return worst


def upward(v):
    """v to three significant digits, rounded up."""
    e = math.floor(math.log10(v)) - 2
    return f"{math.ceil(v / 10.0 ** e) * 10.0 ** e:.2e}"


def header_text(coefficients, worst):
    xp, redges = x_pieces(), rho_edges()
    comment = [
        "The magnifications A_j(x, rho) of the basis profiles 1, mu, mu^2, mu^(1/2) and mu^(3/2)",
        "(mu = sqrt(1 - r^2)),",
        "x = u/rho, as tensor-product Chebyshev interpolants: kXPieces pieces in x (graded towards",
        "the limb, which they leave uncovered within 2^-14 of it) by kRhoPieces equal pieces in ln rho",
        f"over [{RHO_LOW}, {RHO_HIGH}], kNodesX x kNodesRho coefficients each. The disk's values from",
        "the kernel, the others' from the engine at rtol 1e-13; kTableError is each basis's worst",
        "relative error measured off the nodes plus the reference's own (tools/gen_profile_tables.py).",
    ]
    body = [f"inline constexpr int kLimbGapExponent = {LIMB_GAP_EXPONENT};",
            f"inline constexpr int kXPieces = {len(xp)};",
            f"inline constexpr int kRhoPieces = {RHO_PIECES};",
            f"inline constexpr int kNodesX = {NODES_X};",
            f"inline constexpr int kNodesRho = {NODES_RHO};",
            f"inline constexpr double kLogRhoLow = {redges[0].hex()};  // ln {RHO_LOW}",
            f"inline constexpr double kLogRhoHigh = {redges[-1].hex()};  // ln {RHO_HIGH}",
            f"inline constexpr double kRhoLow = {RHO_LOW!r};",
            f"inline constexpr double kRhoHigh = {RHO_HIGH!r};",
            "// The worst relative error of each basis (1, mu, mu^2, mu^(1/2), mu^(3/2)) measured off the",
            "// nodes, plus the reference's own bound.",
            f"inline constexpr std::array<double, {len(BASES)}> kTableError = {{" +
            ", ".join(upward(worst[b]) for b in BASES) + "};",
            "// The pieces in x: [kXEdges[2q], kXEdges[2q + 1]].",
            "inline constexpr std::array<double, " + str(2 * len(xp)) + "> kXEdges = {" +
            ", ".join(f"{v.hex()}" for ab in xp for v in ab) + "};",
            "// Coefficients by basis, rho piece, x piece, then c[j][k] (j: degree in x, k: in ln rho).",
            f"inline constexpr int kBases = {len(BASES)};",
            f"inline constexpr std::array<double, {len(BASES) * RHO_PIECES * len(xp) * NODES_X * NODES_RHO}> "
            "kCoefficients = {"]
    for basis in BASES:
        for p in range(RHO_PIECES):
            for q in range(len(xp)):
                flat = coefficients[basis][p][q].ravel()
                for i in range(0, len(flat), 4):
                    body.append("    " + ", ".join(float(v).hex() for v in flat[i:i + 4]) + ",")
    body += ["};", ""]
    lines = [f"// Generated by tools/{pathlib.Path(sys.argv[0]).name}; do not edit by hand.", "//"]
    lines += [f"// {line}" for line in comment]
    lines += ["#pragma once", "", "#include <array>", "", "namespace mirvanta::models::tables {", ""]
    lines += body
    lines.append("}  // namespace mirvanta::models::tables")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="recompute and compare with the committed header")
    parser.add_argument("--measure", action="store_true", help="print the error map only")
    parser.add_argument("--nodes", type=int, nargs=3, metavar=("X", "RHO", "RHO_PIECES"),
                        help="try other sizes (with --measure)")
    args = parser.parse_args()
    if args.nodes:
        global NODES_X, NODES_RHO, RHO_PIECES
        NODES_X, NODES_RHO, RHO_PIECES = args.nodes
    coefficients, worst = build()
    spot = spot_check(coefficients)
    print(f"laws against mpmath: worst relative error {spot:.2e}")
    if args.measure:
        return
    text = header_text(coefficients, worst)
    if args.check:
        if HEADER.read_text() != text:
            sys.exit(f"{HEADER} is out of date; rerun {sys.argv[0]}")
        print("profile tables: header up to date")
        return
    HEADER.write_text(text)
    print(f"wrote {HEADER}")


if __name__ == "__main__":
    main()
