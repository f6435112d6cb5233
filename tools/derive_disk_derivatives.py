#!/usr/bin/env python3
"""Derive and check the series behind the uniform disk's exact derivatives.

    .venv/bin/python -m pip install ".[tools]"              # sympy and mpmath
    .venv/bin/python tools/derive_disk_derivatives.py         # checks, then writes src/models/kernel/disk_derivative_terms.hpp
    .venv/bin/python tools/derive_disk_derivatives.py --check # checks, and verifies the committed header

The derivatives of the uniform-disk magnification A(u, rho) (src/models/kernel/disk_derivatives.hpp)
take three series:
1. Beyond u = 20 rho, the mean-value expansion of the kernel's series (tools/derive_far_field.py),
   A = 1 + (A_point - 1) + F sum_k x^(2k) Q_k(a, b), differentiated term by term. With s = u^2,
   q = s + 4, F = 4 / (u q^(3/2)), x = rho/u, a = s/q and b = 1/q:
     dA/du   = -(F/u) (2 + sum_k x^(2k) S_k(a, b)),  S_k homogeneous of degree 2k,
     dA/drho = 2 F (x/u) sum_k k x^(2(k-1)) Q_k(a, b),
   (the 2 is the point source's dA_point/du = -2 F/u). The script derives L^k A_point as
   P_k(s) / (u^(2k+1) q^(2k+1/2)) by polynomial recurrence in s (L = 4 d/ds s d/ds), writes S_k
   and k Q_k, proves that every S_k(1 - 4b, b) and Q_k(1 - 4b, b) is positive for 0 < b <= 1/4
   (every u > 0: nothing cancels) and bounds the first term left out relative to the sum.
2. The closed form's dA/du = -(s G / (2 pi u rho^2)) ((2 - m) K(m) - 2 E(m)) (s = u + rho,
   G = sqrt((u - rho)^2 + 4)) cancels as m -> 0: there the kernel uses
   dA/du = -8 u H(m) / (s G)^3 with H(m) = 2F1(3/2, 3/2; 3; m)
   = (16/pi) ((2 - m) K - 2 E) / m^2, whose Taylor coefficients (3/2)_j^2 / ((3)_j j!) the
   script writes for m below M_SERIES, with as many terms as the first left out needs to be
   below 1e-17 of the sum.
3. The script evaluates every series in doubles, operation by operation as the C++ does
   (src/models/kernel/disk_derivative_series.hpp), against the derivatives of the closed form of Witt
   and Mao by mpmath.diff at high precision (an independent route), and reports the worst
   relative error of each; it fails above 1e-15.
"""

import math
import pathlib
import random
import sys

import mpmath
import sympy as sp

from generated_header import generate, table_header

HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "models" / "kernel" / "disk_derivative_terms.hpp"
MID_RATIO = 20.0
FAR_RATIO = 1000.0
# Terms of each series: (far field, mid field), so that the first term left out is below 3e-17 of
# the sum (dA/drho's sum starts one power of x^2 lower than dA/du's, so it takes one term more).
U_TERMS = (2, 6)
RHO_TERMS = (3, 7)
M_SERIES = 0.3       # H(m) by its series below this m, by K and E from it on
WORST_RELATIVE = 1e-15

s = sp.symbols("s", positive=True)
b_ = sp.symbols("b", positive=True)


def laplacian_powers(count):
    """P_k(s) for k = 0..count, with L^k A_point = P_k(s) s^alpha_k q^beta_k,
    alpha_k = -(2k+1)/2, beta_k = -(4k+1)/2."""
    q = s + 4
    p = [sp.expand(s + 2)]
    for k in range(count):
        alpha, beta = -sp.Rational(2 * k + 1, 2), -sp.Rational(4 * k + 1, 2)
        # s d/ds (P s^alpha q^beta) = P1 s^alpha q^(beta-1); L = 4 d/ds (s d/ds).
        p1 = sp.expand(sp.diff(p[k], s) * s * q + p[k] * (alpha * q + beta * s))
        p.append(sp.expand(4 * (sp.diff(p1, s) * s * q + p1 * (alpha * q + (beta - 1) * s))))
    return p


def series_coefficient(k):
    return sp.Rational(1, 4**k * sp.factorial(k) * sp.factorial(k + 1))


def coefficients(poly, degree):
    """The coefficients of a^i b^(degree-i), i = 0..degree, of poly(s) / q^degree."""
    c = sp.Poly(poly, s).all_coeffs()[::-1]
    assert len(c) <= degree + 1, (len(c), degree)
    return c + [sp.Integer(0)] * (degree + 1 - len(c))


def derive(count):
    """Q_k (degree 2k-1) and S_k (degree 2k) for k = 1..count."""
    p = laplacian_powers(count)
    q = s + 4
    q_terms, s_terms = [None], [None]
    for k in range(1, count + 1):
        alpha, beta = -sp.Rational(2 * k + 1, 2), -sp.Rational(4 * k + 1, 2)
        c = series_coefficient(k)
        q_terms.append(coefficients(sp.expand(c * p[k] / 4), 2 * k - 1))
        derivative = sp.expand(sp.diff(p[k], s) * s * q + p[k] * (alpha * q + beta * s))
        s_terms.append(coefficients(sp.expand(-c * derivative / 2), 2 * k))
    return p, q_terms, s_terms


def form(c, a, b):
    n = len(c) - 1
    return sum(ci * a**i * b ** (n - i) for i, ci in enumerate(c))


def prove(p, q_terms, s_terms, count):
    """Symbolic checks in u: term k of A is F x^(2k) Q_k, its u-derivative -(F/u) x^(2k) S_k;
    the point source's derivative is -2F/u; every Q_k and S_k is positive for every u > 0."""
    u, rho = sp.symbols("u rho", positive=True)
    q = u**2 + 4
    f = 4 / (u * q * sp.sqrt(q))
    a, b, x = u**2 / q, 1 / q, rho / u
    point = (u**2 + 2) / (u * sp.sqrt(q))
    assert sp.simplify(sp.diff(point, u) + 2 * f / u) == 0, "point source"
    for k in (1, 2, 3):  # the recurrence against sympy's own Laplacian
        term = point
        for _ in range(k):
            term = sp.diff(term, u, 2) + sp.diff(term, u) / u
        assert sp.simplify(term - p[k].subs(s, u**2) / (u ** (2 * k + 1) * q ** (2 * k) * sp.sqrt(q))) == 0, k
    for k in range(1, count + 1):
        term = series_coefficient(k) * rho ** (2 * k) * p[k].subs(s, u**2) / (u ** (2 * k + 1) * q ** (2 * k) * sp.sqrt(q))
        assert sp.simplify(f * x ** (2 * k) * form(q_terms[k], a, b) - term) == 0, f"Q_{k}"
        assert sp.simplify(-(f / u) * x ** (2 * k) * form(s_terms[k], a, b) - sp.diff(term, u)) == 0, f"S_{k}"
        for name, c in (("Q", q_terms[k]), ("S", s_terms[k])):
            polynomial = sp.Poly(sp.expand(form(c, 1 - 4 * b_, b_)), b_)
            roots = [r for r in polynomial.real_roots() if 0 < r <= sp.Rational(1, 4)]
            assert not roots and polynomial.eval(sp.Rational(1, 8)) > 0, f"{name}_{k} changes sign"
    print(f"proved: term k of A is F x^(2k) Q_k and its u-derivative -(F/u) x^(2k) S_k (k = 1..{count});")
    print("        dA_point/du = -2F/u; every Q_k(1 - 4b, b) and S_k(1 - 4b, b) > 0 for 0 < b <= 1/4")


def bounded(c, denominator):
    """max over 0 < b <= 1/4 of form(c)(1 - 4b, b) / denominator(b), on a fine grid."""
    with mpmath.workdps(30):
        worst = 0
        for i in range(1, 2001):
            b = mpmath.mpf(i) / 8000
            a = 1 - 4 * b
            worst = max(worst, form([mpmath.mpf(ci) for ci in c], a, b) / denominator(a, b))
        return float(worst)


def truncation(q_terms, s_terms):
    """The first term left out of each series, relative to the sum, at the largest x of its field."""
    bounds = []
    for field, x, u_count, rho_count in (("far", 1 / FAR_RATIO, U_TERMS[0], RHO_TERMS[0]),
                                          ("mid", 1 / MID_RATIO, U_TERMS[1], RHO_TERMS[1])):
        k = u_count + 1
        du = bounded(s_terms[k], lambda a, b: 2) * x ** (2 * k)
        k_rho = rho_count + 1
        drho = bounded([k_rho * c for c in q_terms[k_rho]], lambda a, b: a + b) * x ** (2 * (k_rho - 1))
        print(f"{field} field: first term left out of dA/du (k = {k}) {du:.1e}, of dA/drho (k = {k_rho}) "
              f"{drho:.1e} of the sum at x = {x:g}")
        bounds += [du, drho]
    return max(bounds)


def h_coefficients():
    """Taylor coefficients of H(m) = 2F1(3/2, 3/2; 3; m) below M_SERIES, as exact rationals, and
    how many the truncation needs."""
    c = [sp.Integer(1)]
    while True:
        j = len(c) - 1
        c.append(c[-1] * sp.Rational(2 * j + 3, 2) ** 2 / ((j + 3) * (j + 1)))
        # The terms left out: each at most the previous times M_SERIES (the ratio of successive
        # coefficients is below 1), so the rest is below term / (1 - M_SERIES).
        rest = float(c[-1]) * M_SERIES ** (j + 1) / (1 - M_SERIES)
        if rest < 1e-17:
            c.pop()
            print(f"H(m) below m = {M_SERIES}: {len(c)} terms, the rest below {rest:.1e}")
            return c


# --- the C++ forms in doubles ------------------------------------------------------------------

def prefix(u, rho):
    s_ = u * u
    q = s_ + 4.0
    w = u * math.sqrt(q)
    b = 1.0 / q
    a = 1.0 - 4.0 * b
    x = rho / u
    return s_, q, w, b, a, x, x * x, 4.0 / (w * q)


def homogeneous(c, a, b):
    """sum_i c[i] a^i b^(n-i) by Horner's rule in a with the powers of b carried along."""
    term = c[-1]
    power = 1.0
    for i in range(len(c) - 2, -1, -1):
        power = power * b
        term = term * a + c[i] * power
    return term


def series_du(u, rho, table, count):
    """dA/du = -(F/u) (2 + sum_{k=1..count} x^(2k) S_k)."""
    s_, q, w, b, a, x, x2, f = prefix(u, rho)
    series = 0.0
    for k in range(count, 0, -1):
        series = x2 * (homogeneous(table[k - 1], a, b) + series)
    return -((f / u) * (2.0 + series))


def series_drho(u, rho, table, count):
    """dA/drho = 2 F (x/u) sum_{k=1..count} x^(2(k-1)) k Q_k."""
    s_, q, w, b, a, x, x2, f = prefix(u, rho)
    series = homogeneous(table[count - 1], a, b)
    for k in range(count - 1, 0, -1):
        series = homogeneous(table[k - 1], a, b) + x2 * series
    return 2.0 * ((f * (x / u)) * series)


def h_series(m, table):
    """H(m) as the C++ evaluates it: the even and the odd coefficients each by Horner's rule in
    m^2 (two independent chains), then even + m odd."""
    m2 = m * m
    even, odd = table[0::2], table[1::2]
    even_sum, odd_sum = even[-1], odd[-1]
    for c in reversed(even[:-1]):
        even_sum = even_sum * m2 + c
    for c in reversed(odd[:-1]):
        odd_sum = odd_sum * m2 + c
    return even_sum + m * odd_sum


# --- references --------------------------------------------------------------------------------

def closed_form(u, rho):
    """The closed form of Witt and Mao, in mpmath's elliptic integrals, at the working precision."""
    d, s_, t = u - rho, u + rho, rho * rho
    g = mpmath.sqrt(4 + d * d)
    n = 4 * u * rho / (s_ * s_)
    m = 4 * n / (4 + d * d)
    return (s_ * g / (2 * t) * mpmath.ellipe(m) - d * (8 + u * u - t) / (2 * t * g) * mpmath.ellipk(m)
            + 2 * d * d * (1 + t) / (t * s_ * g) * mpmath.ellippi(n, m)) / mpmath.pi


def reference(u, rho):
    """(dA/du, dA/drho) by mpmath.diff of the closed form, with digits for its cancellation (about
    2 lg(u/rho) digits), for dA/drho being about (rho/u)^2 of A's variation and for A - 1 being
    about 1/u^4 of A at large u."""
    digits = 60 + int(4 * math.log10(max(u / rho, 1.0)) + 5 * math.log10(max(u, 1.0)))
    with mpmath.workdps(digits):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        du = mpmath.diff(lambda v: closed_form(v, rho), u)
        drho = mpmath.diff(lambda r: closed_form(u, r), rho)
        return +du, +drho


def sample(count, low, high, seed):
    rng = random.Random(seed)
    points = [(r, math.nextafter(low * r, math.inf)) for r in (1e-10, 1e-4, 0.5, 10.0, 100.0)]
    points += [(r, high * r) for r in (1e-10, 1e-4, 0.5, 10.0, 100.0)]
    for _ in range(count):
        r = 10 ** rng.uniform(-10, 2)
        points.append((r, r * 10 ** rng.uniform(math.log10(low), math.log10(high))))
    return [(r, x) for r, x in points if low * r < x <= high * r]


def relative(value, expected):
    with mpmath.workdps(40):
        return float(abs(value / expected - 1))


def measure(u_table, rho_table, h_table):
    good = True
    for field, low, high, terms, seed in (("far field", FAR_RATIO, 1e12, 0, 20270101),
                                          ("mid field", MID_RATIO, FAR_RATIO, 1, 20270102)):
        worst_u = worst_rho = 0.0
        points = sample(120, low, high, seed)
        for r, u in points:
            du, drho = reference(u, r)
            worst_u = max(worst_u, relative(series_du(u, r, u_table, U_TERMS[terms]), du))
            worst_rho = max(worst_rho, relative(series_drho(u, r, rho_table, RHO_TERMS[terms]), drho))
        print(f"{field} in doubles over {len(points)} points: dA/du {worst_u:.1e}, dA/drho {worst_rho:.1e} "
              "relative to mpmath.diff of the closed form")
        good &= worst_u <= WORST_RELATIVE and worst_rho <= WORST_RELATIVE
    worst_h = 0.0
    with mpmath.workdps(40):
        for i in range(301):
            m = mpmath.mpf(M_SERIES * i / 300)
            expected = mpmath.hyp2f1(1.5, 1.5, 3, m)
            worst_h = max(worst_h, relative(h_series(m, h_table), expected))
            if m > 0:
                by_integrals = (16 / mpmath.pi) * ((2 - m) * mpmath.ellipk(m) - 2 * mpmath.ellipe(m)) / m**2
                assert abs(by_integrals / expected - 1) < 1e-30, m
    print(f"H(m) series in doubles over [0, {M_SERIES}]: {worst_h:.1e} relative to mpmath's 2F1 "
          "(which equals (16/pi) ((2 - m) K - 2 E) / m^2 there)")
    return good and worst_h <= WORST_RELATIVE


def exact_doubles(values):
    doubles = [float(v) for v in values]
    assert all(sp.Rational(d) == v for d, v in zip(doubles, values)), "not exact in doubles"
    return doubles


def render(u_table, rho_table, h_values):
    comment = [
        "Coefficients of the series of the uniform disk's derivatives (src/models/kernel/disk_derivatives.hpp):",
        "kDiskDuTerms[k - 1][i] is the coefficient of a^i b^(2k-i) in S_k, dA/du = -(F/u) (2 +",
        "sum_k x^(2k) S_k(a, b)); kDiskDrhoTerms[k - 1][i] that of a^i b^(2k-1-i) in k Q_k, dA/drho =",
        "2 F (x/u) sum_k x^(2(k-1)) k Q_k(a, b) (exact: integers and halves); kDiskHSeries[j] the",
        "coefficient of m^j in H(m) = 2F1(3/2, 3/2; 3; m), rounded to the nearest double, used below",
        "m = kDiskHSeriesBelow. Beyond 1000 rho the first kDiskFarFieldDuTerms and kDiskFarFieldDrhoTerms",
        "terms of each table are summed, from 20 rho to 1000 rho all.",
    ]
    lines = [
        f"inline constexpr std::size_t kDiskFarFieldDuTerms = {U_TERMS[0]};",
        f"inline constexpr std::size_t kDiskFarFieldDrhoTerms = {RHO_TERMS[0]};",
        f"inline constexpr double kDiskHSeriesBelow = {M_SERIES!r};",
        "",
    ]
    for name, table in (("kDiskDuTerm", u_table), ("kDiskDrhoTerm", rho_table)):
        for k, values in enumerate(table, 1):
            lines.append(f"inline constexpr std::array<double, {len(values)}> {name}{k} = {{"
                         + ", ".join(repr(v) for v in values) + "};")
        names = ", ".join(f"{name}{k}" for k in range(1, len(table) + 1))
        lines.append(f"inline constexpr std::array<std::span<const double>, {len(table)}> {name}s = {{{names}}};")
        lines.append("")
    lines.append(f"inline constexpr std::array<double, {len(h_values)}> kDiskHSeries = {{")
    for i in range(0, len(h_values), 3):
        lines.append("    " + ", ".join(repr(v) for v in h_values[i:i + 3]) + ",")
    lines.append("};")
    lines.append("")
    return table_header(comment, lines, namespace="mirvanta::models::tables")


def make_header():
    count = max(U_TERMS[1], RHO_TERMS[1]) + 1
    p, q_terms, s_terms = derive(count)
    prove(p, q_terms, s_terms, count)
    worst_truncation = truncation(q_terms, s_terms)
    u_table = [exact_doubles(s_terms[k]) for k in range(1, U_TERMS[1] + 1)]
    rho_table = [exact_doubles([k * c for c in q_terms[k]]) for k in range(1, RHO_TERMS[1] + 1)]
    h_exact = h_coefficients()
    h_values = [float(c) for c in h_exact]
    good = measure(u_table, rho_table, h_values)
    if not (good and worst_truncation < 3e-17):
        sys.exit("a check failed")
    return render(u_table, rho_table, h_values)


def main():
    generate(__doc__, HEADER, "disk derivative series", make_header)


if __name__ == "__main__":
    main()
