#!/usr/bin/env python3
"""Generate the node tables of the tanh-sinh (double-exponential) quadrature.

    .venv/bin/python tools/gen_quadrature_nodes.py            # rewrite src/numerics/tanh_sinh_tables.hpp
    .venv/bin/python tools/gen_quadrature_nodes.py --check    # only verify the committed header

Seven levels on the parameter t: level 0 has step 1 and the nodes t = 1, 2, 3; level k (1..6) has
step 2^-k and the odd multiples of 2^-k below 3. Each node is (weight, abscissa) with

    abscissa x(t) = tanh(pi/2 sinh t)
    weight   w(t) = step * pi/2 cosh t / cosh^2(pi/2 sinh t)

computed with mpmath at 60 digits and stored as the nearest doubles. Abscissas near 1 are stored
as themselves, not as their distance from 1. Before it writes anything, the script checks that it
reproduces the pinned rows in SAMPLES, which fix the tables independently of its own arithmetic.
"""

import pathlib
import sys

import mpmath

from generated_header import generate, table_header

mpmath.mp.dps = 60
HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "numerics" / "tanh_sinh_tables.hpp"
LEVEL_SIZES = [3, 3, 6, 12, 24, 48, 96]

# (level, t as a fraction numerator/denominator) -> (weight, abscissa)
SAMPLES = {
    (0, 1, 1): (0.23002239451478868, 0.9513679640727469),
    (0, 2, 1): (0.00026620051375271693, 0.9999774771924616),
    (0, 3, 1): (1.3581784274539091e-12, 0.999999999999957),
    (1, 1, 2): (0.4829882897061506, 0.6742714922484359),
    (2, 1, 4): (0.3474036898118141, 0.3772097381640342),
    (6, 1, 64): (0.024531906707493643, 0.02453976357464916),
    (6, 191, 64): (3.411862828005251e-14, 0.9999999999999298),
}


def node(t, step):
    half_pi = mpmath.pi / 2
    inner = half_pi * mpmath.sinh(t)
    weight = step * half_pi * mpmath.cosh(t) / mpmath.cosh(inner) ** 2
    return float(weight), float(mpmath.tanh(inner))


def levels():
    tables = [[node(mpmath.mpf(t), 1) for t in (1, 2, 3)]]
    for k in range(1, 7):
        step = mpmath.mpf(2) ** -k
        tables.append([node((2 * j - 1) * step, step) for j in range(1, 3 * 2 ** (k - 1) + 1)])
    return tables


def check(tables):
    if [len(level) for level in tables] != LEVEL_SIZES:
        sys.exit(f"level sizes {[len(level) for level in tables]} != {LEVEL_SIZES}")
    for (level, numerator, denominator), expected in SAMPLES.items():
        index = numerator - 1 if level == 0 else (numerator * 2 ** level // denominator - 1) // 2
        if tables[level][index] != expected:
            sys.exit(f"level {level}, t = {numerator}/{denominator}: {tables[level][index]} != {expected}")


def render(tables):
    comment = [
        "Tanh-sinh nodes (weight, abscissa) of levels 0..6: level 0 at t = 1, 2, 3 with step 1,",
        "level k at the odd multiples of 2^-k below 3 with step 2^-k. x(t) = tanh(pi/2 sinh t),",
        "w(t) = step pi/2 cosh t / cosh^2(pi/2 sinh t); the weights carry their level's step.",
    ]
    lines = [
        "struct TanhSinhNode {",
        "    double weight;",
        "    double abscissa;",
        "};",
        "",
    ]
    for k, level in enumerate(tables):
        lines.append(f"inline constexpr std::array<TanhSinhNode, {len(level)}> kTanhSinhLevel{k} = {{{{")
        lines.extend(f"    {{{w!r}, {x!r}}}," for w, x in level)
        lines.append("}};")
    names = ", ".join(f"kTanhSinhLevel{k}" for k in range(len(tables)))
    lines.append(f"inline constexpr std::array<std::span<const TanhSinhNode>, {len(tables)}> kTanhSinhLevels = {{")
    lines.append(f"    {names}}};")
    lines.append("")
    return table_header(comment, lines)


def make_header():
    tables = levels()
    check(tables)
    return render(tables)


def main():
    generate(__doc__, HEADER, "tanh-sinh tables", make_header)

if __name__ == "__main__":
    main()
