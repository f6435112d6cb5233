#!/usr/bin/env python3
"""Derive and check the far-field expansion of the uniform-disk magnification.

    .venv/bin/python -m pip install ".[tools]"     # sympy and mpmath
    .venv/bin/python tools/derive_far_field.py

Far from the source (u > 1000 rho) the kernel evaluates the mean of the point-source
magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)) over the disk by the mean-value expansion
    mean = sum_k (rho^2/4)^k / (k! (k+1)!) L^k A(u),   L = d^2/du^2 + (1/u) d/du,
kept to k = 2 (src/models/far_field.cpp). This script
1. derives L A, L^2 A and L^3 A with sympy and proves that the form evaluated in C++ equals the
   truncated series, and that 4 / (w (s + 2 + w)) equals A - 1;
2. bounds the first term left out (k = 3) relative to A;
3. computes the reference, the closed form of Witt and Mao in mpmath's own elliptic integrals,
   at 60 and at 100 digits, and the area average of A by two-dimensional mpmath quadrature at a
   few points, and shows that they agree;
4. evaluates the C++ form in doubles, operation by operation as the kernel does (Python floats
   are IEEE doubles and math.sqrt is correctly rounded), and reports its error in ulps against
   the reference over rho in [1e-10, 10] and u/rho in (1000, 1e12].
"""

import math
import random

import mpmath
import sympy as sp

u, rho = sp.symbols("u rho", positive=True)
s_, q_, w_ = u**2, u**2 + 4, u * sp.sqrt(u**2 + 4)
POINT_SOURCE = (s_ + 2) / w_
SERIES_COEFFICIENTS = [sp.Rational(1, 4**k * sp.factorial(k) * sp.factorial(k + 1)) for k in range(4)]


def laplacian(f):
    return sp.simplify(sp.diff(f, u, 2) + sp.diff(f, u) / u)


def derive():
    terms = [POINT_SOURCE]
    for k in range(1, 4):
        terms.append(sp.factor(laplacian(terms[-1])))
        print(f"L^{k} A = {terms[-1]}")
    truncated = sum(c * rho ** (2 * k) * t for k, (c, t) in enumerate(zip(SERIES_COEFFICIENTS[:3], terms[:3])))

    # The form of far_field.cpp, with x = rho/u, b = 1/q, a = 1 - 4b, F = 4 / (w q).
    b = 1 / q_
    a = 1 - 4 * b
    x2 = (rho / u) ** 2
    f = 4 / (w_ * q_)
    second = a * a * (3 * a + 6 * b) + b * b * (14 * a + 12 * b)
    excess = 4 / (w_ * ((s_ + 2) + w_))
    evaluated = 1 + (excess + f * (x2 * ((1 - 3 * b) + x2 * (second / 2))))
    assert sp.simplify(excess - (POINT_SOURCE - 1)) == 0, "A - 1"
    assert sp.simplify(evaluated - truncated) == 0, "evaluated form"
    print("proved: 4 / (w (s + 2 + w)) = A - 1, and the evaluated form is the series to k = 2")
    return sp.lambdify(u, terms[3] / POINT_SOURCE * SERIES_COEFFICIENTS[3] * u**6, "mpmath")


def dropped_term_bound(ratio):
    """max over u of (k = 3 term) / (A x^6), x = rho/u, on a logarithmic grid of u."""
    with mpmath.workdps(30):
        values = [ratio(mpmath.mpf(10) ** (e / 20)) for e in range(-300, 301)]
    worst = max(values)
    print(f"first term left out: at most {float(worst):.4f} x^6 relative to A "
          f"({float(worst) * 1e-18:.1e} at x = 1e-3); small u {float(values[0]):.4f}, "
          f"large u {float(values[-1]):.2e}")
    return worst


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


def sample(count, seed=20261207):
    """rho log-uniform in [1e-10, 10], u/rho log-uniform in (1000, 1e12], plus the corners."""
    rng = random.Random(seed)
    points = [(r, math.nextafter(1000.0 * r, math.inf)) for r in (1e-10, 1e-4, 0.5, 10.0)]
    points += [(r, 1e12 * r) for r in (1e-10, 1e-4, 0.5, 10.0)]
    for _ in range(count):
        r = 10 ** rng.uniform(-10, 1)
        points.append((r, r * 10 ** rng.uniform(3, 12)))
    return points


def main():
    dropped_term_bound(derive())

    points = sample(300)
    with mpmath.workdps(100):
        agreement = max(abs(witt_mao(u, r, 60) / witt_mao(u, r, 100) - 1) for r, u in points[:60])
    print(f"reference at 60 vs 100 digits: relative difference at most {float(agreement):.1e}")
    for r, u in [(0.01, 10.5), (1e-4, 0.2), (2.0, 3000.0), (1e-7, 3e-3)]:
        with mpmath.workdps(40):
            difference = abs(area_average(u, r) / witt_mao(u, r, 60) - 1)
        print(f"area average vs closed form, rho = {r:g}, u = {u:g}: {float(difference):.1e}")

    worst_ulps, worst_relative, below_one = 0.0, 0.0, 0
    for r, u in points:
        value = far_field(u, r)
        reference = witt_mao(u, r, 60)
        below_one += value < 1.0
        with mpmath.workdps(60):
            worst_ulps = max(worst_ulps, float(abs(value - reference)) / math.ulp(float(reference)))
            worst_relative = max(worst_relative, float(abs(value / reference - 1)))
    print(f"double evaluation over {len(points)} points: at most {worst_ulps:.2f} ulps "
          f"({worst_relative:.1e} relative); {below_one} values below 1")


if __name__ == "__main__":
    main()
