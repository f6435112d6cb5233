#!/usr/bin/env python3
"""Generate the nested Fejer (second rule) tables of the profile engine's adaptive quadrature.

    python3 tools/gen_fejer_nodes.py            # rewrite src/numerics/fejer_tables.hpp
    python3 tools/gen_fejer_nodes.py --check    # only verify the committed header

Fejer's second rule of order N on [-1, 1] uses the N - 1 interior Chebyshev extrema
x_j = cos(j pi / N), j = 1..N-1, with the weights

    w_j = (4 sin(t_j) / N) sum_{k=1}^{N/2} sin((2k - 1) t_j) / (2k - 1),   t_j = j pi / N.

The orders 2, 4, ..., 64 are nested: the points of order N are those of order 2N with even j. The
header holds the rule moved to [0, 1]: the 63 points of order 64 as s_i = (1 - x_(i+1)) / 2 =
sin^2((i + 1) pi / 128), ascending, stored directly so that a point's distance from either end
keeps its relative precision (1 - s_i = s_(62 - i) exactly), and for each order its weights
w_j / 2 at those points (zero where a point is not one of that order's), computed with mpmath at
60 digits and stored as the nearest doubles. The script checks that each order integrates x^k
exactly to degree N - 1 and pins a few weights.
"""

import pathlib
import sys

import mpmath

from generated_header import generate, table_header

mpmath.mp.dps = 60
HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "numerics" / "fejer_tables.hpp"
FINEST = 64
ORDERS = [2, 4, 8, 16, 32, 64]
# (order, j) -> weight on [0, 1], from the closed forms: order 2 is the midpoint rule; order 4 is
# (1/3)(f(s_1) + f(1/2) + f(s_3)).
PINNED = {(2, 1): 1.0, (4, 1): 1.0 / 3.0, (4, 2): 1.0 / 3.0}


def weights(order):
    out = []
    for j in range(1, order):
        t = j * mpmath.pi / order
        total = mpmath.fsum(mpmath.sin((2 * k - 1) * t) / (2 * k - 1) for k in range(1, order // 2 + 1))
        out.append(4 * mpmath.sin(t) / order * total)
    return out


def check(tables):
    for order in ORDERS:
        w = tables[order]
        points = [mpmath.cos(j * mpmath.pi / order) for j in range(1, order)]
        for degree in range(order):
            exact = mpmath.mpf(2) / (degree + 1) if degree % 2 == 0 else mpmath.mpf(0)
            rule = mpmath.fsum(wj * xj**degree for wj, xj in zip(w, points))
            if abs(rule - exact) > mpmath.mpf(10) ** -50:
                sys.exit(f"order {order} does not integrate x^{degree} exactly")
    for (order, j), expected in PINNED.items():
        if float(tables[order][j - 1] / 2) != expected:
            sys.exit(f"order {order}, point {j}: {float(tables[order][j - 1] / 2)!r} != {expected!r}")


def render(tables):
    comment = [
        "Nested Fejer (second rule) quadrature on [0, 1]: the 63 points kFejerPoints[i] =",
        "sin^2((i + 1) pi / 128) (the interior Chebyshev extrema, ascending; 1 - point i is point",
        "62 - i), and kFejerWeights[l][i], the weight of point i in the rule of order 2^(l + 1)",
        "(zero where point i is not one of its points: i + 1 not a multiple of 64 / 2^(l + 1)).",
        "Each order N integrates polynomials of degree N - 1 exactly; its weights sum to 1.",
    ]
    lines = ["inline constexpr int kFejerFinestOrder = 64;",
             f"inline constexpr std::array<double, {FINEST - 1}> kFejerPoints = {{"]
    lines += [f"    {float(mpmath.sin(j * mpmath.pi / (2 * FINEST)) ** 2)!r}," for j in range(1, FINEST)]
    lines.append("};")
    lines.append(f"inline constexpr std::array<std::array<double, {FINEST - 1}>, {len(ORDERS)}> kFejerWeights = {{{{")
    for order in ORDERS:
        step = FINEST // order
        row = [0.0] * (FINEST - 1)
        for j, w in enumerate(tables[order], start=1):
            row[j * step - 1] = float(w / 2)
        lines.append(f"    {{  // order {order}")
        lines += [f"        {value!r}," for value in row]
        lines.append("    },")
    lines.append("}};")
    lines.append("")
    return table_header(comment, lines)


def make_header():
    tables = {order: weights(order) for order in ORDERS}
    check(tables)
    return render(tables)


def main():
    generate(__doc__, HEADER, "Fejer tables", make_header)


if __name__ == "__main__":
    main()
