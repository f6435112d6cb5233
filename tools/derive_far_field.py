#!/usr/bin/env python3
"""Derive and check the far-field and mid-field expansions of the uniform-disk magnification.

    .venv/bin/python -m pip install ".[tools]"        # sympy and mpmath
    .venv/bin/python tools/derive_far_field.py          # checks, then writes src/models/kernel/mid_field_series.hpp
    .venv/bin/python tools/derive_far_field.py --check  # checks, and verifies the committed header

Away from the source the kernel evaluates the mean of the point-source magnification
A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)) over the disk by the mean-value expansion
    mean = sum_k (rho^2/4)^k / (k! (k+1)!) L^k A(u),   L = d^2/du^2 + (1/u) d/du,
kept to k = 2 beyond u = 1000 rho (far_field_disk_magnification) and to k = 5 from 20 rho to
1000 rho (mid_field_disk_magnification), src/models/kernel/far_field_series.hpp. With s = u^2, q = s + 4,
w = u sqrt(q), x = rho/u, a = s/q, b = 1/q and F = 4 / (w q), term k is F x^(2k) Q_k(a, b), Q_k
homogeneous of degree 2k - 1 in a and b. This script
1. derives L^k A to k = 6 with sympy, extracts the exact coefficients of Q_1..Q_5 and proves that
   F x^(2k) Q_k(a, b) is term k, that the far-field form evaluated in C++ is the series to k = 2,
   that 4 / (w (s + 2 + w)) equals A - 1, and that every Q_k(1 - 4b, b) is positive for
   0 < b <= 1/4 (every u > 0), so that neither form can fall below 1;
2. bounds the first term left out, k = 3 for x < 1e-3 and k = 6 for x < 1/20, relative to A;
3. computes the reference, the closed form of Witt and Mao in mpmath's own elliptic integrals,
   at 60 and at 100 digits, and the area average of A by two-dimensional mpmath quadrature at a
   few points, and shows that they agree;
4. evaluates both C++ forms in doubles, operation by operation as the kernel does (Python floats
   are IEEE doubles and math.sqrt is correctly rounded), and reports their errors in ulps against
   the reference: the far field over rho in [1e-10, 100] and u/rho in (1000, 1e12], the mid
   field over u/rho in (20, 1000]; it fails if either is off by more than 8 ulps or below 1.
"""

import math
import pathlib
import random
import sys

import mpmath
import sympy as sp

from generated_header import generate, table_header

HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "models" / "kernel" / "mid_field_series.hpp"
MID_TERMS = 5     # k = 1..5 in the mid field
MID_RATIO = 20.0  # the mid field begins beyond 20 rho
FAR_RATIO = 1000.0
WORST_ULPS = 8.0

u, rho = sp.symbols("u rho", positive=True)
a_, b_ = sp.symbols("a b", positive=True)
s_, q_, w_ = u**2, u**2 + 4, u * sp.sqrt(u**2 + 4)
POINT_SOURCE = (s_ + 2) / w_


def series_coefficient(k):
    return sp.Rational(1, 4**k * sp.factorial(k) * sp.factorial(k + 1))


def laplacian(f):
    return sp.simplify(sp.diff(f, u, 2) + sp.diff(f, u) / u)


def derive():
    """L^k A for k = 0..6, and the coefficients of Q_1..Q_6 (index i: the coefficient of
    a^i b^(2k-1-i))."""
    terms = [POINT_SOURCE]
    for _ in range(6):
        terms.append(sp.factor(laplacian(terms[-1])))
    print("L A   =", terms[1])
    print("L^2 A =", terms[2])
    s = sp.symbols("s", positive=True)
    q_coefficients = [None]
    for k in range(1, 7):
        # L^k A = P_k(s) / (u^(2k+1) q^(2k+1/2)), P_k a polynomial of degree 2k - 1.
        p = sp.expand(sp.simplify(terms[k] * u ** (2 * k + 1) * q_**(2 * k) * sp.sqrt(q_)))
        poly = sp.Poly(p.subs(u, sp.sqrt(s)), s)
        assert poly.degree() == 2 * k - 1, (k, poly.degree())
        q_coefficients.append([series_coefficient(k) * c / 4 for c in reversed(poly.all_coeffs())])
    return terms, q_coefficients


def q_form(coefficients, a, b):
    n = len(coefficients) - 1
    return sum(c * a**i * b ** (n - i) for i, c in enumerate(coefficients))


def prove(terms, q_coefficients):
    b = 1 / q_
    a = s_ / q_
    f = 4 / (w_ * q_)
    x2 = (rho / u) ** 2
    for k in range(1, 7):
        term = series_coefficient(k) * rho ** (2 * k) * terms[k]
        assert sp.simplify(f * x2**k * q_form(q_coefficients[k], a, b) - term) == 0, f"term {k}"
    # The far-field form of far_field_series.hpp, with a = 1 - 4b.
    a_far = 1 - 4 * b
    second = a_far * a_far * (3 * a_far + 6 * b) + b * b * (14 * a_far + 12 * b)
    excess = 4 / (w_ * ((s_ + 2) + w_))
    evaluated = 1 + (excess + f * (x2 * ((1 - 3 * b) + x2 * (second / 2))))
    truncated = sum(series_coefficient(k) * rho ** (2 * k) * terms[k] for k in range(3))
    assert sp.simplify(excess - (POINT_SOURCE - 1)) == 0, "A - 1"
    assert sp.simplify(evaluated - truncated) == 0, "far-field form"
    # Positivity: Q_k(1 - 4b, b) has no root in (0, 1/4] and is positive at b = 1/8.
    for k in range(1, 7):
        polynomial = sp.Poly(sp.expand(q_form(q_coefficients[k], 1 - 4 * b_, b_)), b_)
        roots = [r for r in polynomial.real_roots() if 0 < r <= sp.Rational(1, 4)]
        assert not roots and polynomial.eval(sp.Rational(1, 8)) > 0, f"Q_{k} changes sign"
    print("proved: F x^(2k) Q_k(a, b) is term k of the series (k = 1..6); 4 / (w (s + 2 + w)) = A - 1;")
    print("        the far-field form is the series to k = 2; every Q_k(1 - 4b, b) > 0 for 0 < b <= 1/4")


def dropped_term_bound(terms, k, x):
    """max over u of (term k) / (A x^(2k)) on a logarithmic grid of u, and its value at x."""
    ratio = sp.lambdify(u, terms[k] / POINT_SOURCE * series_coefficient(k) * u ** (2 * k), "mpmath")
    with mpmath.workdps(30):
        worst = max(ratio(mpmath.mpf(10) ** (e / 20)) for e in range(-300, 301))
    print(f"term k = {k}: at most {float(worst):.4f} x^{2 * k} relative to A, {float(worst) * x ** (2 * k):.1e} "
          f"at x = {x:g}")
    return float(worst) * x ** (2 * k)


def witt_mao(u, rho, dps):
    """The closed form of Witt and Mao, in mpmath's elliptic integrals (parameter convention)."""
    with mpmath.workdps(dps):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        d, s, t = u - rho, u + rho, rho * rho
        g = mpmath.sqrt(4 + d * d)
        n = 4 * u * rho / (s * s)
        m = 4 * n / (4 + d * d)
        value = (s * g / (2 * t) * mpmath.ellipe(m) - d * (8 + u * u - t) / (2 * t * g) * mpmath.ellipk(m)
                 + 2 * d * d * (1 + t) / (t * s * g) * mpmath.ellippi(n, m)) / mpmath.pi
        return +value


def area_average(u, rho, dps=30):
    """The mean of A over the disk by two-dimensional quadrature, in polar coordinates about
    the source centre (only the upper half, by symmetry)."""
    with mpmath.workdps(dps):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)

        def point(r, phi):
            v2 = u * u + r * r + 2 * u * r * mpmath.cos(phi)
            return r * (v2 + 2) / mpmath.sqrt(v2 * (v2 + 4))

        return mpmath.quad(point, [0, rho], [0, mpmath.pi]) / (mpmath.pi * rho * rho / 2)


def far_field(u, rho):
    """far_field_disk_magnification, in the kernel's order of operations."""
    s = u * u
    q = s + 4.0
    w = u * math.sqrt(q)
    b = 1.0 / q
    a = 1.0 - 4.0 * b
    x = rho / u
    x2 = x * x
    f = 4.0 / (w * q)
    second = (a * a) * (3.0 * a + 6.0 * b) + (b * b) * (14.0 * a + 12.0 * b)
    correction = f * (x2 * ((1.0 - 3.0 * b) + x2 * (second * 0.5)))
    return 1.0 + (4.0 / (w * ((s + 2.0) + w)) + correction)


def mid_field(u, rho, table):
    """mid_field_disk_magnification, in the kernel's order of operations."""
    s = u * u
    q = s + 4.0
    w = u * math.sqrt(q)
    b = 1.0 / q
    a = 1.0 - 4.0 * b
    x = rho / u
    x2 = x * x
    f = 4.0 / (w * q)
    series = 0.0
    for c in reversed(table):
        term = c[-1]
        power = 1.0
        for i in range(len(c) - 2, -1, -1):
            power = power * b
            term = term * a + c[i] * power
        series = x2 * (term + series)
    return 1.0 + (4.0 / (w * ((s + 2.0) + w)) + f * series)


def sample(count, low, high, seed):
    """rho log-uniform in [1e-10, 100], u/rho log-uniform in (low, high], plus the corners."""
    rng = random.Random(seed)
    points = [(r, math.nextafter(low * r, math.inf)) for r in (1e-10, 1e-4, 0.5, 10.0, 100.0)]
    points += [(r, high * r) for r in (1e-10, 1e-4, 0.5, 10.0, 100.0)]
    for _ in range(count):
        r = 10 ** rng.uniform(-10, 2)
        points.append((r, r * 10 ** rng.uniform(math.log10(low), math.log10(high))))
    return [(r, x) for r, x in points if low * r < x <= high * r]


def measure(name, form, points):
    worst_ulps, worst_relative, below_one = 0.0, 0.0, 0
    for r, u in points:
        value = form(u, r)
        reference = witt_mao(u, r, 60)
        below_one += value < 1.0
        with mpmath.workdps(60):
            worst_ulps = max(worst_ulps, float(abs(value - reference)) / math.ulp(float(reference)))
            worst_relative = max(worst_relative, float(abs(value / reference - 1)))
    print(f"{name}, double evaluation over {len(points)} points: at most {worst_ulps:.2f} ulps "
          f"({worst_relative:.1e} relative); {below_one} values below 1")
    return worst_ulps <= WORST_ULPS and below_one == 0


def render(q_coefficients):
    comment = [
        "Coefficients of the mid-field series of the uniform-disk magnification,",
        "A = 1 + (A_point - 1) + F sum_{k=1..5} x^(2k) Q_k(a, b): kMidFieldTerms[k - 1][i] is the",
        "coefficient of a^i b^(2k-1-i) in Q_k (exact: integers and halves).",
    ]
    lines = []
    for k in range(1, MID_TERMS + 1):
        values = [float(c) for c in q_coefficients[k]]
        assert all(sp.Rational(v) == c for v, c in zip(values, q_coefficients[k])), "not exact in doubles"
        lines.append(f"inline constexpr std::array<double, {len(values)}> kMidFieldTerm{k} = {{"
                     + ", ".join(repr(v) for v in values) + "};")
    names = ", ".join(f"kMidFieldTerm{k}" for k in range(1, MID_TERMS + 1))
    lines.append(f"inline constexpr std::array<std::span<const double>, {MID_TERMS}> kMidFieldTerms = {{{names}}};")
    lines.append("")
    return table_header(comment, lines, namespace="mirvanta::models::tables")


def make_header():
    terms, q_coefficients = derive()
    prove(terms, q_coefficients)
    far_bound = dropped_term_bound(terms, 3, 1e-3)
    mid_bound = dropped_term_bound(terms, MID_TERMS + 1, 1 / MID_RATIO)
    table = [[float(c) for c in q_coefficients[k]] for k in range(1, MID_TERMS + 1)]

    points = sample(300, FAR_RATIO, 1e12, 20261207)
    with mpmath.workdps(100):
        agreement = max(abs(witt_mao(u, r, 60) / witt_mao(u, r, 100) - 1) for r, u in points[:60])
    print(f"reference at 60 vs 100 digits: relative difference at most {float(agreement):.1e}")
    for r, u in [(0.01, 10.5), (1e-4, 0.2), (2.0, 3000.0), (1e-7, 3e-3), (50.0, 1500.0)]:
        with mpmath.workdps(40):
            difference = abs(area_average(u, r) / witt_mao(u, r, 60) - 1)
        print(f"area average vs closed form, rho = {r:g}, u = {u:g}: {float(difference):.1e}")
    good = measure("far field (u/rho > 1000)", far_field, points)
    good &= measure("mid field (20 < u/rho <= 1000)", lambda u, r: mid_field(u, r, table),
                    sample(400, MID_RATIO, FAR_RATIO, 20260611))
    if not (good and far_bound < 1e-19 and mid_bound < 1e-17):
        sys.exit("a check failed")
    return render(q_coefficients)


def main():
    generate(__doc__, HEADER, "mid-field series", make_header)


if __name__ == "__main__":
    main()
