#!/usr/bin/env python3
"""Measure integrated_flux_map_witt_mao_magnification against the exact integral of the same
piecewise-linear profile, on maps with many radii, steps, partial maps and narrow bands.

    .venv/bin/python tools/flux_map_accuracy.py [--baseline EXTENSION] [--rho 0.05 ...] [--mpmath]

The reference takes the map as a stack of uniform disks: over each piece [a, b] between two radii
(cut to [0, 1]), where the brightness I is linear, integration by parts gives the magnified flux
pi [I r^2 A(u, r rho)]_a^b - pi I' int_a^b r^2 A(u, r rho) dr, A the uniform disk of radius
r rho, and the flux the same with A = 1. The integrals are Gauss-Legendre (24 nodes) on intervals
that shrink geometrically toward r = l, where A bends as (r - l) ln|r - l|. A is the module's own
uniform disk (within 1e-12 of mpmath, tests/python/test_witt_mao.py), or with --mpmath the closed
form in mpmath at 50 digits for the first separations of the first map (slow), to show that the
reference does not lean on it. --baseline EXTENSION measures another build of the module (its
extension file) alongside, e.g. the build before this comparison's change. Needs NumPy.
"""

import argparse
import math
import pathlib
import random
import sys

import numpy as np

import mirvanta

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import other_build  # noqa: E402

X, W = np.polynomial.legendre.leggauss(24)


def module_disk(l, r, rho):
    return mirvanta.witt_mao_magnification([l / r], 1.0, r * rho)[0]


def mpmath_disk(l, r, rho):
    import mpmath
    with mpmath.workdps(50):
        u, s = mpmath.mpf(l) * rho, mpmath.mpf(r) * rho
        d, t = u - s, s * s
        g = mpmath.sqrt(4 + d * d)
        n = 4 * u * s / (u + s) ** 2
        m = 4 * n / (4 + d * d)
        if u == s:
            return float((2 / s + (1 + 1 / t) * 2 * mpmath.atan(s)) / mpmath.pi)
        value = ((u + s) * g / (2 * t) * mpmath.ellipe(m) - d * (8 + u * u - t) / (2 * t * g) * mpmath.ellipk(m)
                 + 2 * d * d * (1 + t) / (t * (u + s) * g) * mpmath.ellippi(n, m)) / mpmath.pi
        return float(mpmath.re(value))  # mpmath may return a complex with no imaginary part


def by_parts(l, rho, bl, bf, disk=module_disk):
    def a_at(r):
        return disk(l, r, rho) if r > 0 else 0.0

    def r2_disk(a, b):
        cuts = {a, b}
        if a <= l <= b:
            cuts |= {min(max(l + side * (b - a) * 2.0 ** -k, a), b) for k in range(45) for side in (-1, 1)}
        cuts = sorted(cuts)
        return sum((q - p) / 2 * w * r * r * a_at(r) for p, q in zip(cuts, cuts[1:])
                   for x, w in zip(X, W) for r in [(p + q) / 2 + (q - p) / 2 * x])

    pieces = [(0.0, 1.0, bf[0], 0.0)] if len(bl) == 1 else [
        (max(r0, 0.0), min(r1, 1.0), b0 + (max(r0, 0.0) - r0) * (b1 - b0) / (r1 - r0), (b1 - b0) / (r1 - r0))
        for r0, r1, b0, b1 in zip(bl, bl[1:], bf, bf[1:]) if max(r0, 0.0) < min(r1, 1.0)]
    magnified = flux = 0.0
    for a, b, at_a, slope in pieces:
        at_b = at_a + (b - a) * slope
        magnified += at_b * b * b * a_at(b) - at_a * a * a * a_at(a) - (slope * r2_disk(a, b) if slope else 0.0)
        flux += at_b * b * b - at_a * a * a - slope * (b ** 3 - a ** 3) / 3
    return magnified / flux


def random_map(count, seed):
    rng = random.Random(seed)
    return ([0.0] + sorted(rng.uniform(0.0, 1.0) for _ in range(count - 2)) + [1.0],
            [rng.uniform(0.0, 2.0) for _ in range(count)])


def quadratic_law(count):
    mu = [1 - i / (count - 1) for i in range(count)]
    return ([math.sqrt(1 - m * m) for m in mu], [1 - 0.4 * (1 - m) - 0.25 * (1 - m) ** 2 for m in mu])


MAPS = {
    "200 random radii": random_map(200, 2),
    "60 random radii": random_map(60, 1),
    "40 random radii": random_map(40, 3),
    "a step (0.5)": ([0.0, 0.5, 0.5, 1.0], [1.0, 1.0, 0.3, 0.3]),
    "stops at 0.9": ([0.0, 0.5, 0.9], [1.0, 0.8, 0.6]),
    "starts at 0.1": ([0.1, 0.5, 1.0], [1.0, 0.8, 0.6]),
    "quadratic law, 40 radii even in mu": quadratic_law(40),
    "four radii (docs/interface.md)": ([0.0, 0.5, 0.9, 1.0], [1.0, 0.9, 0.6, 0.4]),
}
INSIDE = [0.05 + 0.9 * k / 19 for k in range(20)] + [0.99, 0.999]
OUTSIDE = [1.001, 1.01, 1.05, 1.2, 1.5, 2.0, 3.0, 5.0, 10.0]


def worst(module, l, rho, bl, bf, references):
    try:
        values = module.integrated_flux_map_witt_mao_magnification(l, 1.0, rho, bl, bf)
    except ValueError as refusal:
        return f"ValueError: {refusal}"
    errors = [abs(v / r - 1) if math.isfinite(v) else math.inf for v, r in zip(values, references)]
    return max(errors)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", type=pathlib.Path, help="another build's extension file, measured alongside")
    parser.add_argument("--rho", type=float, nargs="+", default=[0.05, 0.3])
    parser.add_argument("--mpmath", action="store_true", help="check the reference against mpmath's uniform disk")
    args = parser.parse_args()
    builds = [("now", mirvanta)] + ([("before", other_build.load(args.baseline))] if args.baseline else [])
    if args.mpmath:
        bl, bf = MAPS["60 random radii"]
        for l in (0.3, 1.5):
            fast, slow = by_parts(l, 0.05, bl, bf), by_parts(l, 0.05, bl, bf, disk=mpmath_disk)
            print(f"reference with the module's disk / with mpmath's, 60 random radii, l = {l}: {fast / slow - 1:.1e}")
    print("worst relative error against the exact integral of the profile, lens inside (l from 0.05 to 0.999) /"
          " outside (1.001 to 10)")
    for rho in args.rho:
        for name, (bl, bf) in MAPS.items():
            references = [[by_parts(l, rho, bl, bf) for l in ls] for ls in (INSIDE, OUTSIDE)]
            row = []
            for label, module in builds:
                inside, outside = (worst(module, ls, rho, bl, bf, ref) for ls, ref in zip((INSIDE, OUTSIDE), references))
                row.append(f"{label} {inside:.1e} / {outside:.1e}")
            print(f"rho = {rho}, {name}: " + "; ".join(row))
    # Narrow bands: NaN where the rule found the band with none of its first nodes.
    for label, module in builds:
        for width in (0.01, 0.05, 0.1, 0.15):
            nan = total = 0
            for k in range(91):
                start = k * (1 - width) / 90
                values = module.integrated_flux_map_witt_mao_magnification([0.0, 1.5, 3.0], 1.0, 0.1,
                                                                           [start, start + width], [1.0, 1.0])
                nan += sum(math.isnan(v) for v in values)
                total += len(values)
            print(f"{label}: bands {width} wide, 91 positions, l = 0, 1.5, 3 (rho = 0.1): {nan} of {total} NaN")


if __name__ == "__main__":
    main()
