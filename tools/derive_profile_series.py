#!/usr/bin/env python3
"""Derive the far-field series of the magnification of a radially symmetric source.

    python3 tools/derive_profile_series.py          # checks, then writes src/models/engine/profile_series_terms.hpp
    python3 tools/derive_profile_series.py --check  # checks, and verifies the committed header

The mean of a function f over a source of radius rho whose brightness I depends on the radius
fraction x alone is sum_k rho^(2k) <x^(2k)> / (4^k k!^2) L^k f at the centre, L the Laplacian and
<x^(2k)> the brightness-weighted mean of x^(2k) over the disk. For the uniform disk <x^(2k)> =
1/(k + 1), the series of tools/derive_far_field.py; for any other profile each term k is the
uniform disk's times m_k = (k + 1) <x^(2k)>. With the point-source magnification
A = (s + 2) / (u sqrt(q)), s = u^2, q = s + 4, and in s, L = 4 s d^2/ds^2 + 4 d/ds:
L^k A = P_k(s) / (u^(2k+1) q^(2k+1/2)), P_k a polynomial of degree 2k - 1, from P_0 = s + 2 by

    f = P s^al q^be:  f' = s^(al-1) q^(be-1) R1, R1 = P' s q + al P q + be P s,
                      f'' = s^(al-2) q^(be-2) R2, R2 = R1' s q + (al - 1) R1 q + (be - 1) R1 s,
                      L f = s^(al-1) q^(be-2) 4 (R2 + R1 q).

Term k of the uniform disk is F x^(2k) Q_k(a, b) with x = rho/u, F = 4/(u sqrt(q) q), a = s/q,
b = 1/q and Q_k(a, b) = sum_i P_k[i] a^i b^(2k-1-i) / (4^(k+1) k! (k+1)!) (P_k[i] the coefficient
of s^i). The script
1. derives P_1..P_K in exact integers, and checks Q_1..Q_5 against the coefficients of the
   uniform disk's mid-field series (src/models/kernel/mid_field_series.hpp);
2. checks that every Q_k(1 - 4b, b) is positive on 0 < b <= 1/4 (every u > 0), on a fine grid in
   exact rationals, so that no term of the series is negative for a profile of positive moments;
3. bounds each term: c_k = max over u of F Q_k(a, b) / A (on a logarithmic grid of u from 1e-5 to
   1e5, in mpmath), so that term k is at most c_k m_k x^(2k) relative to the point source;
4. evaluates Q_k in doubles by the engine's Horner rule at 2000 values of u and reports the worst
   relative error against the exact value (it fails above 1e-14 for k <= 4, 1e-12 for any k:
   term k weighs at most about 4^-k / (pi k (k + 1)) of A where the series is used).
"""

import fractions
import math
import pathlib
import re
import sys

import mpmath
import sympy as sp

from generated_header import generate, table_header

HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "models" / "engine" / "profile_series_terms.hpp"
MID_FIELD = pathlib.Path(__file__).resolve().parent.parent / "src" / "models" / "kernel" / "mid_field_series.hpp"
TERMS = 24
s = sp.symbols("s", positive=True)
q = s + 4


def derive():
    p, al, be = sp.Poly(s + 2, s), sp.Rational(-1, 2), sp.Rational(-1, 2)
    qp = sp.Poly(q, s)
    sp_ = sp.Poly(s, s)
    polys = [p]
    for _ in range(TERMS):
        r1 = p.diff(s) * sp_ * qp + p * qp * al + p * sp_ * be
        r2 = r1.diff(s) * sp_ * qp + r1 * qp * (al - 1) + r1 * sp_ * (be - 1)
        p = (r2 + r1 * qp) * 4
        al, be = al - 1, be - 2
        polys.append(p)
    table = [None]
    for k in range(1, TERMS + 1):
        coefficients = list(reversed(polys[k].all_coeffs()))
        assert len(coefficients) == 2 * k, (k, len(coefficients))
        scale = fractions.Fraction(1, 4 ** (k + 1) * math.factorial(k) * math.factorial(k + 1))
        table.append([fractions.Fraction(int(c)) * scale for c in coefficients])
    return table


def check_mid_field(table):
    text = MID_FIELD.read_text()
    for k in range(1, 6):
        row = re.search(rf"kMidFieldTerm{k} = \{{([^}}]*)\}}", text).group(1)
        values = [float(v) for v in row.split(",")]
        if values != [float(c) for c in table[k]]:
            sys.exit(f"Q_{k} differs from the mid-field series: {values} != {[float(c) for c in table[k]]}")
    print("Q_1..Q_5 are the mid-field series' coefficients")


def q_value(row, a, b):
    return sum(c * a**i * b ** (len(row) - 1 - i) for i, c in enumerate(row))


def check_positive(table):
    for k in range(1, TERMS + 1):
        for j in range(1, 401):
            b = fractions.Fraction(j, 1600)
            if q_value(table[k], 1 - 4 * b, b) <= 0:
                sys.exit(f"Q_{k} is not positive at b = {b}")
    print(f"Q_1..Q_{TERMS} positive at 400 points of 0 < b <= 1/4")


def bounds(table):
    out = [None]
    with mpmath.workdps(30):
        grid = [mpmath.mpf(10) ** (e / 40) for e in range(-200, 201)]
        for k in range(1, TERMS + 1):
            worst = 0
            for u in grid:
                s_, q_ = u * u, u * u + 4
                a, b = s_ / q_, 1 / q_
                f = 4 / (u * mpmath.sqrt(q_) * q_)
                point = (s_ + 2) / (u * mpmath.sqrt(q_))
                worst = max(worst, f * q_value([mpmath.mpf(c.numerator) / c.denominator for c in table[k]], a, b) / point)
            out.append(float(worst) * 1.05)  # the grid's maximum, raised for the points between
    return out


def horner(row, a, b):
    """Q_k in doubles as the engine evaluates it (profile_series.cpp)."""
    term = row[-1]
    power = 1.0
    for i in range(len(row) - 2, -1, -1):
        power = power * b
        term = term * a + row[i] * power
    return term


def check_rounding(table):
    worst, worst_low = 0.0, 0.0
    for j in range(2000):
        u = 10 ** (-4 + 8 * j / 1999)
        s_ = u * u
        q_ = s_ + 4.0
        b = 1.0 / q_
        a = 1.0 - 4.0 * b
        for k in range(1, TERMS + 1):
            row = [float(c) for c in table[k]]
            exact = q_value(table[k], fractions.Fraction(a), fractions.Fraction(b))
            error = abs(horner(row, a, b) / float(exact) - 1)
            worst = max(worst, error)
            if k <= 4:
                worst_low = max(worst_low, error)
    # Term k is at most about x^(2k) / (pi k (k + 1)) of A, and the series is used for x <= 1/2: a
    # relative error e of Q_k moves A by at most e 4^-k / (pi k (k + 1)).
    print(f"Q_k in doubles by Horner's rule: worst relative error {worst_low:.1e} for k <= 4, {worst:.1e} for all")
    if worst_low > 1e-14 or worst > 1e-12:
        sys.exit("the terms do not evaluate accurately in doubles")


def make_header():
    table = derive()
    check_mid_field(table)
    check_positive(table)
    check_rounding(table)
    bound = bounds(table)
    lines = []
    for k in range(1, TERMS + 1):
        values = ", ".join(repr(float(c)) for c in table[k])
        lines.append(f"inline constexpr std::array<double, {2 * k}> kProfileSeriesTerm{k} = {{{values}}};")
    names = ", ".join(f"kProfileSeriesTerm{k}" for k in range(1, TERMS + 1))
    lines.append(f"inline constexpr std::array<std::span<const double>, {TERMS}> kProfileSeriesTerms = {{{names}}};")
    lines.append("")
    lines.append(f"inline constexpr std::array<double, {TERMS}> kProfileSeriesBounds = {{")
    lines += [f"    {b!r}," for b in bound[1:]]
    lines.append("};")
    lines.append("")
    comment = [
        "Terms of the far-field series of a radially symmetric source,",
        "A = 1 + (A_point - 1) + F sum_k m_k x^(2k) Q_k(a, b), m_k = (k + 1) <x^(2k)>:",
        "kProfileSeriesTerms[k - 1][i] is the coefficient of a^i b^(2k-1-i) in Q_k (the uniform",
        "disk's), and kProfileSeriesBounds[k - 1] bounds F Q_k(a, b) / A_point over every u.",
    ]
    return table_header(comment, lines, "mirvanta::models::tables")


def main():
    generate(__doc__, HEADER, "profile series", make_header)


if __name__ == "__main__":
    main()
