#!/usr/bin/env python3
"""Generate the mpmath references for the uniform-disk and ring kernel tests.

    .venv/bin/python tools/gen_disk_reference.py          # rewrite tests/cpp/data/disk_*.txt, ring_near.txt
    .venv/bin/python tools/gen_disk_reference.py --check  # recompute and compare with the committed files

One case a line: the inputs as exactly representable doubles (shortest repr), then the expected
magnification to 40 significant digits.
- disk_limb.txt: u, rho with rho log-uniform in [1e-10, 100] and x = (u - rho)/rho log-uniform
  in [1e-16, 0.1] on both sides of the limb, the doubles next to u = rho, the edges of the limb
  zone (|u - rho| = 0.04 rho), u = rho itself for rho from 1e-10 to 1e8, and cases just outside
  the zone (|x| from 0.04 to 0.0405), where the closed form is least accurate.
- disk_away.txt: u, rho with rho log-uniform in [1e-10, 100] and u/rho in [0, 0.96] and
  log-uniform in [1.04, 1e6], the doubles around u = 20 rho and u = 1000 rho, and sources too
  small or too large for the closed form in doubles (rho = 1e-300 to 1e-100, 1e10 to 1e300).
- ring_near.txt: l, r, q (the ring kernel's l and r, and re/rstar with rstar = 1) with r
  log-uniform in [1e-7, 2], q = 1/rho for rho log-uniform in [1e-7, 10] and |r - l|/(l + r)
  log-uniform in [1e-15, 0.3].
The disk reference is the closed form of Witt and Mao in mpmath's elliptic integrals, at enough
digits to absorb its cancellations (60 plus twice the digits lost as x -> 0 or u/rho -> oo), and
on the limb the exact value (2/rho + (1 + 1/rho^2) 2 atan(rho)) / pi. The script checks both
against the area average of the point-source magnification by two-dimensional quadrature at a
few points. The ring reference is the mean of the point-source magnification over the ring by
quadrature in angle, an independent route from the kernel's elliptic integrals. (The
limb-darkened disk's reference is made by tools/gen_limb_darkened_reference.py.)
"""

import argparse
import math
import pathlib
import random
import sys

import mpmath

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data"
LIMB_ZONE = 0.04


def disk(u, rho):
    """The uniform-disk magnification at the doubles u, rho."""
    x = abs(u - rho) / rho
    lost = (2 * max(0.0, -math.log10(x)) if x > 0 else 0) + 2 * max(0.0, math.log10(max(u / rho, 1.0)))
    with mpmath.workdps(int(60 + lost)):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        d, s, t = u - rho, u + rho, rho * rho
        if d == 0:
            return +((2 / rho + (1 + 1 / t) * 2 * mpmath.atan(rho)) / mpmath.pi)
        g = mpmath.sqrt(4 + d * d)
        n = 4 * u * rho / (s * s)
        m = 4 * n / (4 + d * d)
        value = (s * g / (2 * t) * mpmath.ellipe(m) - d * (8 + u * u - t) / (2 * t * g) * mpmath.ellipk(m)
                 + 2 * d * d * (1 + t) / (t * s * g) * mpmath.ellippi(n, m)) / mpmath.pi
        return +value


def area_average(u, rho, dps=30):
    """The mean of the point-source magnification over the disk, by quadrature in polar
    coordinates about the lens (the disk seen from the lens: r from |u - rho| to u + rho, or from
    0 with the lens inside, over the arc of each circle about the lens that lies in the disk)."""
    with mpmath.workdps(dps):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)

        def circle(r):
            cos_edge = (u * u + r * r - rho * rho) / (2 * u * r)
            arc = mpmath.pi if cos_edge <= -1 else (0 if cos_edge >= 1 else mpmath.acos(cos_edge))
            return 2 * arc * r * (r * r + 2) / (r * mpmath.sqrt(r * r + 4))

        points = [0, rho - u, u + rho] if u < rho else [u - rho, u + rho]
        return mpmath.quad(circle, points) / (mpmath.pi * rho * rho)


def ring(l, r, q, dps=40):
    """The mean of the point-source magnification over a ring of radius r whose centre is l from
    the lens, by quadrature in angle; l, r and the Einstein radius q in source radii."""
    with mpmath.workdps(dps):
        l, r, q = mpmath.mpf(l), mpmath.mpf(r), mpmath.mpf(q)

        def magnification(phi):
            v2 = ((l - r) ** 2 + 4 * l * r * mpmath.sin(phi / 2) ** 2) / (q * q)
            return (v2 + 2) / mpmath.sqrt(v2 * (v2 + 4))

        gap = abs(l - r) / max(l, r)
        breaks = sorted({p for p in (gap / 100, gap / 10, gap, 10 * gap, 100 * gap, mpmath.mpf("0.1")) if 0 < p < 1})
        return mpmath.quad(magnification, [0] + breaks + [mpmath.pi]) / mpmath.pi


def limb_cases():
    rng = random.Random(20260612)
    cases = []
    for _ in range(360):
        rho = 10 ** rng.uniform(-10, 2)
        x = 10 ** rng.uniform(-16, -1) * rng.choice((1, -1))
        u = rho * (1 + x)
        if u != rho:
            cases.append((u, rho))
    for rho in (1e-7, 3.3e-4, 0.05, 1.0, 42.0):
        for steps in (1, 2, 5):
            below, above = rho, rho
            for _ in range(steps):
                below, above = math.nextafter(below, 0), math.nextafter(above, math.inf)
            cases += [(below, rho), (above, rho)]
        edge = LIMB_ZONE * rho
        for side in (1, -1):
            u = rho + side * edge
            cases += [(math.nextafter(u, 0), rho), (u, rho), (math.nextafter(u, math.inf), rho)]
    for e in range(-30, 25):
        rho = 10.0 ** (e / 3)
        cases.append((rho, rho))
    # Just outside the limb zone, where the closed form's error is largest (about 6 eps / x^2,
    # x = (u - rho)/rho): 200 cases with |x| from 0.04 to 0.0405, and the five worst of a search of
    # 40,000 such (7.3e-13 down to 6.5e-13).
    rng = random.Random(20260615)
    for _ in range(200):
        rho = 10 ** rng.uniform(-10, 2)
        cases.append((rho * (1 + rng.uniform(LIMB_ZONE, 1.0125 * LIMB_ZONE) * rng.choice((1, -1))), rho))
    cases += [(1.6332809342030063e-05, 1.570242244300528e-05), (8.977450415701934e-06, 8.630640186675832e-06),
              (0.0007074302668844482, 0.000679919196835465), (0.0028391121909821133, 0.0027296867417291146),
              (3.912736991835762e-06, 3.761230593065054e-06)]
    return cases


def away_cases():
    rng = random.Random(20260613)
    cases = []
    for _ in range(140):
        rho = 10 ** rng.uniform(-10, 2)
        cases.append((rho * rng.uniform(0, 1 - LIMB_ZONE), rho))
        cases.append((rho * 10 ** rng.uniform(math.log10(1 + LIMB_ZONE), 6), rho))
    for _ in range(100):  # around the series
        rho = 10 ** rng.uniform(-10, 2)
        cases.append((rho * 10 ** rng.uniform(1, 3.5), rho))
    for rho in (1e-10, 1e-4, 0.02, 0.7, 13.0, 100.0):
        for ratio in (20.0, 1000.0):
            u = ratio * rho
            cases += [(u, rho), (math.nextafter(u, math.inf), rho)]
    for rho in (1e-300, 1e-200, 1.5e-100, 1e10, 2.0**27 * 1.01, 1e100, 1e300):
        for ratio in (0.0, 0.5, 0.98, 1.0, 1.02, 3.0, 30.0):
            cases.append((ratio * rho, rho))
    return cases


def ring_cases():
    rng = random.Random(20260614)
    cases = []
    for _ in range(150):
        r = 10 ** rng.uniform(-7, math.log10(2))
        q = 1 / 10 ** rng.uniform(-7, 1)
        x = 10 ** rng.uniform(-15, math.log10(0.3)) * rng.choice((1, -1))
        l = r * (1 - x) / (1 + x)  # (r - l)/(r + l) = x
        if l != r:
            cases.append((l, r, q))
    for r in (1e-7, 1e-5, 0.3, 1.0):
        for f in (0.99e-5, -0.99e-5, 1e-5, 0.039 * r, 0.041 * r):
            if r - f > 0:
                cases.append((r - f, r, 1.0))
    return cases


def line(inputs, value):
    text = mpmath.nstr(value, 40, min_fixed=-1, max_fixed=-1)
    return " ".join(repr(float(x)) for x in inputs) + " " + text


def write(name, header, cases, reference):
    lines = [f"# {text}" for text in header]
    lines += [line(case, reference(*case)) for case in cases]
    return name, "\n".join(lines) + "\n"


def self_check():
    """The closed form and the edge value against the area average at a few points."""
    worst = 0.0
    for u, rho in [(0.1, 0.1), (0.1 * (1 + 1e-9), 0.1), (0.1 * (1 - 0.01), 0.1), (2e-5, 1e-5), (30.0, 3.0),
                   (1e-7 * (1 + 1e-6), 1e-7), (50.0, 50.0)]:
        with mpmath.workdps(30):
            worst = max(worst, abs(area_average(u, rho) / disk(u, rho) - 1))
    print(f"closed form and limb value vs area average: {float(worst):.1e}")
    if worst > 1e-20:
        sys.exit("the closed-form reference disagrees with the area average")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="compare with the committed files only")
    args = parser.parse_args()
    self_check()
    files = [
        write("disk_limb.txt", ["u rho A(u, rho): through the limb (tools/gen_disk_reference.py)"], limb_cases(), disk),
        write("disk_away.txt", ["u rho A(u, rho): away from the limb (tools/gen_disk_reference.py)"], away_cases(), disk),
        write("ring_near.txt", ["l r q A_ring(l, r; re = q, rstar = 1) (tools/gen_disk_reference.py)"], ring_cases(), ring),
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
        print("disk and ring references up to date")


if __name__ == "__main__":
    main()
