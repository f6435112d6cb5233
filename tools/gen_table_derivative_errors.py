#!/usr/bin/env python3
"""Measure the derivatives of the bases' tables (src/models/engine/profile_tables_data.hpp) and
write their error bounds, piece by piece, into src/models/engine/profile_table_derivative_errors.hpp.

    .venv/bin/python tools/gen_table_derivative_errors.py            # rewrite the header
    .venv/bin/python tools/gen_table_derivative_errors.py --check    # recompute and compare
    .venv/bin/python tools/gen_table_derivative_errors.py --measure  # print the map only

Needs the module installed (numpy). About half a minute.

For each basis j, piece q in x and piece p in ln rho, the table's A_j(x, L = ln rho) gives two
derivatives: F_x = dA_j/dx (the Chebyshev series in x differentiated) and F_L = dA_j/d(ln rho)
at fixed x (the series across ln rho differentiated). Both are evaluated here from the header's
coefficients as the engine does (the ln-rho series first, then the x series), at the midpoints
between consecutive Chebyshev nodes in both directions and at the pieces' ends (points the fit
did not use, where a differentiated interpolant's error peaks), and compared with the engine's
exact derivatives at rtol 1e-13 (magnification_and_gradient, one separation a call, which
the tables never serve at that tolerance; the uniform disk's from the kernel's own derivatives):
F_x = rho dA/du and F_L = rho dA/drho + u dA/du. The bound written for (j, p, q) is twice the
worst, over the piece's points, of the absolute error plus the references' own bound there (1e-13,
the disk's 1e-12, of the larger of each derivative and A), rounded up. The engine keeps a
table's derivatives only where these bounds, weighed by the law's weights, are within a quarter
of rtol of the derivatives' scales (models/engine/profile_table_gradient.hpp).
"""

import argparse
import math
import pathlib
import re
import sys

import numpy as np
from numpy.polynomial import chebyshev as C

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import gen_profile_tables as tables  # noqa: E402

import mirvanta  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "src/models/engine/profile_tables_data.hpp"
HEADER = ROOT / "src/models/engine/profile_table_derivative_errors.hpp"
MARGIN = 2.0
REFERENCE_BOUND = {"disk": 1e-12, "mu": 1e-13, "mu2": 1e-13, "mu05": 1e-13, "mu15": 1e-13}


def read_coefficients():
    text = DATA.read_text()
    body = text[text.index("kCoefficients = {") + len("kCoefficients = {"):]
    body = body[:body.index("}")]
    values = np.array([float.fromhex(w) for w in re.split(r"[,\s]+", body) if w])
    nb, nr, nq = len(tables.BASES), tables.RHO_PIECES, len(tables.x_pieces())
    return values.reshape(nb, nr, nq, tables.NODES_X, tables.NODES_RHO)


def exact(basis, u, rho):
    """A, F_x, F_L and their references' error bounds, one separation a call."""
    n = len(u)
    a, fx, fl, ex, el = (np.empty(n) for _ in range(5))
    law = None if basis == "disk" else tables.LAWS[basis]
    bound = REFERENCE_BOUND[basis]
    for i in range(n):
        value, du, drho, _ = mirvanta.magnification_and_gradient(float(u[i]), float(rho[i]), law, rtol=1e-13)
        x = u[i] / rho[i]
        a[i], fx[i], fl[i] = value, rho[i] * du, rho[i] * drho + u[i] * du
        ex[i] = bound * max(abs(fx[i]), value)
        el[i] = bound * (max(abs(rho[i] * drho), value) + x * max(abs(fx[i]), value))
    return a, fx, fl, ex, el


def measure(coefficients):
    xp, redges = tables.x_pieces(), tables.rho_edges()
    tx, tr = tables.cheb_nodes(tables.NODES_X), tables.cheb_nodes(tables.NODES_RHO)
    cx = np.concatenate([[1.0], 0.5 * (tx[:-1] + tx[1:]), [-1.0]])
    cr = np.concatenate([[1.0], 0.5 * (tr[:-1] + tr[1:]), [-1.0]])
    nb, nr, nq = coefficients.shape[:3]
    ex_bound = np.zeros((nb, nr, nq))
    el_bound = np.zeros((nb, nr, nq))
    for b, basis in enumerate(tables.BASES):
        for p in range(nr):
            lo, hi = redges[p], redges[p + 1]
            rhos = np.exp(tables.on_piece(cr, lo, hi))
            for q, (a, bx) in enumerate(xp):
                xs = tables.on_piece(cx, a, bx)
                u, rho = tables.grid(xs, rhos)
                _, fx, fl, rx, rl = exact(basis, u, rho)
                c = coefficients[b, p, q]
                got_x, got_l = [], []
                for t in cx:
                    for s in cr:
                        row = c @ C.chebvander(np.array([s]), tables.NODES_RHO - 1)[0]
                        drow = c @ C.chebval(s, C.chebder(np.eye(tables.NODES_RHO), axis=0)) * (2.0 / (hi - lo))
                        got_x.append(C.chebval(t, C.chebder(row)) * (2.0 / (bx - a)))
                        got_l.append(C.chebval(t, drow))
                ex = np.max(np.abs(np.array(got_x) - fx) + rx)
                el = np.max(np.abs(np.array(got_l) - fl) + rl)
                ex_bound[b, p, q] = MARGIN * ex
                el_bound[b, p, q] = MARGIN * el
        print(f"{basis}: worst dA/dx bound {ex_bound[b].max():.2e}, dA/dlnrho {el_bound[b].max():.2e}", flush=True)
    return ex_bound, el_bound


def upward(v):
    """v rounded up to three significant digits."""
    if v == 0.0:
        return "0.0"
    e = math.floor(math.log10(v))
    m = math.ceil(v / 10.0 ** (e - 2) - 1e-9)
    return f"{m / 100:.2f}e{e:+03d}"


def header_text(ex, el):
    nb, nr, nq = ex.shape
    lines = [f"// Generated by tools/{pathlib.Path(sys.argv[0]).name}; do not edit by hand.", "//",
             "// The bounds on the absolute errors of the bases' tables' derivatives, by basis, piece in",
             "// ln rho and piece in x (profile_tables_data.hpp): kDerivativeErrorX for dA_j/dx and",
             "// kDerivativeErrorLogRho for dA_j/d(ln rho) at fixed x, each twice the worst error measured off",
             "// the generator's nodes against the engine's exact derivatives at rtol 1e-13, plus theirs.",
             "#pragma once", "", "#include <array>", "", "namespace mirvanta::models::tables {", ""]
    for name, values in (("kDerivativeErrorX", ex), ("kDerivativeErrorLogRho", el)):
        lines.append(f"inline constexpr std::array<double, {nb * nr * nq}> {name} = {{")
        for b in range(nb):
            for p in range(nr):
                lines.append("    " + ", ".join(upward(v) for v in values[b, p]) + ",")
        lines.append("};")
    lines.append("")
    lines.append("}  // namespace mirvanta::models::tables")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--measure", action="store_true")
    args = parser.parse_args()
    ex, el = measure(read_coefficients())
    if args.measure:
        for b, basis in enumerate(tables.BASES):
            print(basis, "x:", " ".join(f"{v:.0e}" for v in ex[b].max(axis=0)))
            print(basis, "L:", " ".join(f"{v:.0e}" for v in el[b].max(axis=0)))
        return
    text = header_text(ex, el)
    if args.check:
        if HEADER.read_text() != text:
            sys.exit(f"{HEADER} is out of date; rerun {sys.argv[0]}")
        print("table derivative errors: header up to date")
        return
    HEADER.write_text(text)
    print(f"wrote {HEADER}")


if __name__ == "__main__":
    main()
