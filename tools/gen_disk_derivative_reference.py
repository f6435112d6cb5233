#!/usr/bin/env python3
"""Generate the mpmath references for the uniform disk's derivatives.

    .venv/bin/python tools/gen_disk_derivative_reference.py          # rewrite tests/cpp/data/disk_derivatives_*.txt
    .venv/bin/python tools/gen_disk_derivative_reference.py --check  # recompute and compare with the committed files

One case a line: u and rho as exactly representable doubles (shortest repr), then dA/du and
dA/drho to 40 significant digits.
- disk_derivatives_limb.txt: rho log-uniform in [1e-6, 100] (and a few down to 1e-10) with
  x = (u - rho)/rho log-uniform in [1e-12, 0.1] on both sides of the limb, x = +-1e-10 and
  +-1e-12 for several radii, the doubles next to u = rho and the edges of the limb zone
  (|u - rho| = 0.04 rho).
- disk_derivatives_away.txt: rho log-uniform in [1e-6, 100] (and a few down to 1e-10) with u/rho
  uniform in [0, 0.96] and log-uniform in [1.04, 1e4] and [1e4, 1e6], u = 0, the doubles around
  u = 20 rho and u = 1000 rho, and sources too small for the closed form in doubles
  (rho = 1e-300 to 1e-100; below about 1e-154 the derivatives exceed the largest double).
- disk_derivatives_huge.txt: sources too large for it (rho = 2^27 to 1e300), with the lens from
  1e-3 to 1e3 Einstein radii off the limb on both sides, and at 0.5, 3 and 19 rho.
The reference is mpmath.diff of the closed form of Witt and Mao in mpmath's elliptic integrals,
at 60 digits plus those the closed form cancels and those the derivative is below A; at u = 0
the exact dA/du = 0 and dA/drho = -4 / (rho^2 sqrt(rho^2 + 4)). For the huge sources, where the
closed form would cancel hundreds of digits, it is the second route: dA/du = (2/rho) <A_point
cos t>, the limb's first angular moment, and dA/drho = (2/rho) (R - A), R = <A_point> the ring
mean, both by quadrature in angle, with A - 1 = 2/rho^2 (its error below 1e-16 of A - 1 and
of 2^-100 of A/rho there). The script checks the two routes against each other at a few points
of every kind first.
"""

import argparse
import math
import pathlib
import random
import sys

import mpmath

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data"
LIMB_ZONE = 0.04


def closed_form(u, rho):
    """The closed form of Witt and Mao at the working precision, u != rho."""
    d, s, t = u - rho, u + rho, rho * rho
    g = mpmath.sqrt(4 + d * d)
    n = 4 * u * rho / (s * s)
    m = 4 * n / (4 + d * d)
    return (s * g / (2 * t) * mpmath.ellipe(m) - d * (8 + u * u - t) / (2 * t * g) * mpmath.ellipk(m)
            + 2 * d * d * (1 + t) / (t * s * g) * mpmath.ellippi(n, m)) / mpmath.pi


def by_difference(u, rho):
    """(dA/du, dA/drho) by mpmath.diff of the closed form (steps of 2^-(p + 20) of the argument
    at p bits, which mpmath.diff doubles while it differences). The
    closed form cancels about 2 lg(u/rho) digits and 2 lg(rho/|u - rho|) next to the limb;
    dA/drho is about (rho/u)^2 of A's variation far away, and A - 1 about 1/u^4 of A."""
    if u == 0:
        with mpmath.workdps(60):
            rho = mpmath.mpf(rho)
            return mpmath.mpf(0), -4 / (rho * rho * mpmath.sqrt(rho * rho + 4))
    x = abs(u - rho) / rho
    digits = (60 + 2 * max(0.0, -math.log10(x)) + 4 * math.log10(max(u / rho, 1.0))
              + 5 * math.log10(max(u, 1.0)))
    with mpmath.workdps(int(digits)):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        step = mpmath.mpf(2) ** -(mpmath.mp.prec + 20)
        du = mpmath.diff(lambda v: closed_form(v, rho), u, h=u * step)
        drho = mpmath.diff(lambda r: closed_form(u, r), rho, h=rho * step)
        return +du, +drho


def point_excess(v2):
    """A_point - 1 at squared distance v2 from the lens, without cancellation."""
    w = mpmath.sqrt(v2 * (v2 + 4))
    return 4 / (w * (v2 + 2 + w))


def limb_means(u, rho):
    """(<(A_point - 1) cos t>, <A_point - 1>) over the limb, by quadrature in the angle phi from
    the limb point nearest the lens (cos t = -cos phi there), on pieces that grow tenfold from
    a hundredth of the lens's angular distance from the limb, |u - rho| / max(u, rho)."""
    gap = abs(u - rho) / max(u, rho)
    points = [mpmath.mpf(0)]
    edge = gap / 100
    while edge < 1:
        points.append(edge)
        edge *= 10
    points.append(mpmath.pi)
    d2, cross = (u - rho) ** 2, 4 * u * rho

    def excess(phi):
        return point_excess(d2 + cross * mpmath.sin(phi / 2) ** 2)

    moment = -mpmath.quad(lambda phi: excess(phi) * mpmath.cos(phi), points) / mpmath.pi
    mean = mpmath.quad(excess, points) / mpmath.pi
    return moment, mean


def by_quadrature(u, rho, excess_of_a, dps=40):
    """(dA/du, dA/drho) by the limb's moment and the ring mean, given A - 1."""
    with mpmath.workdps(dps):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        moment, mean = limb_means(u, rho)
        return 2 * moment / rho, 2 * (mean - excess_of_a) / rho


def area_excess(u, rho, dps=40):
    """A - 1 by the closed form (digits for its cancellation; on the limb its exact value)."""
    x = abs(u - rho) / rho
    digits = 40 + 2 * max(0.0, -math.log10(x)) + 2 * math.log10(max(u / rho, 1.0)) + 2 * math.log10(max(rho, 1.0))
    with mpmath.workdps(int(digits)):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        return closed_form(u, rho) - 1


def huge_reference(u, rho):
    """The second route. A - 1 by the closed form up to rho = 1e10; beyond, A - 1 < 2/rho^2 is
    below 1e-99 of A/rho, and 2/rho^2 is taken for it."""
    if rho <= 1e11:
        return by_quadrature(u, rho, area_excess(u, rho))
    with mpmath.workdps(40):
        return by_quadrature(u, rho, 2 / mpmath.mpf(rho) ** 2)


def limb_cases():
    rng = random.Random(20270201)
    cases = []
    for _ in range(300):
        rho = 10 ** rng.uniform(-6, 2) if rng.random() < 0.9 else 10 ** rng.uniform(-10, -6)
        x = 10 ** rng.uniform(-12, -1) * rng.choice((1, -1))
        u = rho * (1 + x)
        if u != rho:
            cases.append((u, rho))
    for rho in (1e-6, 3.3e-4, 0.05, 1.0, 42.0, 100.0):
        for x in (1e-10, -1e-10, 1e-12, -1e-12):
            cases.append((rho * (1 + x), rho))
        for steps in (1, 3):
            below, above = rho, rho
            for _ in range(steps):
                below, above = math.nextafter(below, 0), math.nextafter(above, math.inf)
            cases += [(below, rho), (above, rho)]
        for side in (1, -1):
            u = rho + side * LIMB_ZONE * rho
            cases += [(math.nextafter(u, 0), rho), (u, rho), (math.nextafter(u, math.inf), rho)]
    return cases


def away_cases():
    rng = random.Random(20270202)
    cases = []
    radius = lambda: 10 ** rng.uniform(-6, 2) if rng.random() < 0.9 else 10 ** rng.uniform(-10, -6)
    for _ in range(120):
        rho = radius()
        cases.append((rho * rng.uniform(0, 1 - LIMB_ZONE), rho))
        cases.append((rho * 10 ** rng.uniform(math.log10(1 + LIMB_ZONE), 4), rho))
    for _ in range(60):
        rho = radius()
        cases.append((rho * 10 ** rng.uniform(4, 6), rho))
    for _ in range(60):  # around the series
        rho = radius()
        cases.append((rho * 10 ** rng.uniform(1, 3.5), rho))
    for rho in (1e-10, 1e-6, 0.02, 0.7, 13.0, 100.0):
        cases.append((0.0, rho))
        for ratio in (20.0, 1000.0):
            u = ratio * rho
            cases += [(u, rho), (math.nextafter(u, math.inf), rho)]
    for rho in (1e-300, 1e-200, 3e-150, 1e-120, 1.5e-100):
        for ratio in (0.0, 0.5, 0.98, 1.02, 3.0, 19.0, 30.0):
            cases.append((ratio * rho, rho))
    return cases


def huge_cases():
    cases = []
    for rho in (2.0**27 * 1.01, 1e10, 1e50, 1e300):
        for d in (1e-3, 0.1, 1.0, 10.0, 1e3):
            for side in (1, -1):
                u = rho + side * d
                if u != rho:
                    cases.append((u, rho))
        for ratio in (0.5, 3.0, 19.0):
            cases.append((ratio * rho, rho))
    return cases


def line(inputs, values):
    return " ".join(repr(float(x)) for x in inputs) + " " + " ".join(
        mpmath.nstr(v, 40, min_fixed=-1, max_fixed=-1) for v in values)


def write(name, header, cases, reference):
    lines = [f"# {text}" for text in header]
    lines += [line(case, reference(*case)) for case in cases]
    return name, "\n".join(lines) + "\n"


def self_check():
    """The two routes against each other: next to and away from the limb, inside and outside,
    near the series' start, a large and a tiny source."""
    worst = 0.0
    for u, rho in [(0.05, 0.1), (0.1 * (1 + 1e-9), 0.1), (0.1 * (1 - 1e-3), 0.1), (0.3, 0.1), (2e-5, 1e-5),
                   (7.0, 3.0), (1.9e-5, 1e-6), (70.0, 80.0), (1e-200 * 0.99, 1e-200)]:
        expected = by_difference(u, rho)
        with mpmath.workdps(40):
            scale = max(abs(expected[0]), abs(expected[1]))
            routes = by_quadrature(u, rho, area_excess(u, rho))
            worst = max(worst, *(abs(r - e) / scale for r, e in zip(routes, expected)))
    print(f"mpmath.diff of the closed form vs limb moment and ring mean: {float(worst):.1e}")
    if worst > 1e-25:
        sys.exit("the references disagree")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="compare with the committed files only")
    args = parser.parse_args()
    self_check()
    header = "u rho dA/du dA/drho"
    files = [
        write("disk_derivatives_limb.txt", [f"{header}: through the limb (tools/gen_disk_derivative_reference.py)"],
              limb_cases(), by_difference),
        write("disk_derivatives_away.txt", [f"{header}: away from the limb (tools/gen_disk_derivative_reference.py)"],
              away_cases(), by_difference),
        write("disk_derivatives_huge.txt", [f"{header}: huge sources, by quadrature (tools/gen_disk_derivative_reference.py)"],
              huge_cases(), huge_reference),
    ]
    stale = []
    for name, text in files:
        path = DATA / name
        if args.check:
            if path.read_text() != text:
                stale.append(name)
        else:
            path.write_text(text)
            print(f"wrote {path} ({text.count(chr(10)) - 1} cases)")
    if stale:
        sys.exit(f"out of date: {', '.join(stale)}; rerun {sys.argv[0]}")
    if args.check:
        print("disk derivative references up to date")


if __name__ == "__main__":
    main()
