#!/usr/bin/env python3
"""Generate the mpmath reference of the limb-darkened disk for the C++ tests.

    .venv/bin/python tools/gen_limb_darkened_reference.py          # rewrite tests/cpp/data/limb_darkened.txt
    .venv/bin/python tools/gen_limb_darkened_reference.py --check  # recompute and compare with the committed file

The source has the linear limb-darkening law I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)) (r in source
radii), whose unmagnified flux is 0.8 pi. Its magnification is the brightness-weighted mean of the
point-source magnification over the disk, integrated in two dimensions by mpmath in polar
coordinates about the lens: over the distance v from the lens (in source radii) and, for each v,
the arc of the circle of radius v about the lens that lies on the disk,

    A = int v A_ps(v rho) [int_arc I(r(v, phi)) dphi] dv / (0.8 pi),

with r^2 = l^2 + v^2 - 2 l v cos(phi). The area element v cancels the point source's 1/v, so the
integrand is smooth but where the arc meets the limb (v = |1 - l|, a break point of the outer
integral) and at the ends of the arc (square-root zeros of I, which tanh-sinh absorbs). This is
another route than the module's, which integrates uniform-disk magnifications over the radius.
Computed at 20 digits; the script checks a few points against 32 digits (agreement to 1e-18).

One case a line: l and rho as exactly representable doubles (shortest repr), then the
magnification to 25 significant digits.
"""

import argparse
import pathlib
import sys

import mpmath

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "cpp" / "data" / "limb_darkened.txt"
RADII = [1e-4, 1e-3, 0.01, 0.1, 0.3, 1.0]
SEPARATIONS = [0.0, 1e-3, 0.05, 0.3, 0.5, 0.7, 0.9, 0.97, 0.99, 0.999, 0.9999,  # lens inside
               1.0, 1.0001, 1.001, 1.01, 1.03, 1.5, 3.0]


def limb_darkened(l, rho, dps=20):
    """The linear-limb-darkened magnification at separation l (source radii), rho = source radius
    in Einstein radii, by two-dimensional quadrature about the lens."""
    with mpmath.workdps(dps):
        l, rho = mpmath.mpf(l), mpmath.mpf(rho)

        def weighted_point_source(v):  # v A_ps(v rho)
            w = v * rho
            return (w * w + 2) / (rho * mpmath.sqrt(w * w + 4))

        def arc(v):  # int over the arc on the disk of I(r), both sides of the line to the centre
            a, b = 1 - l * l - v * v, 2 * l * v
            top = mpmath.pi if l == 0 or v <= 1 - l else mpmath.acos((l * l + v * v - 1) / (2 * l * v))
            root = mpmath.quad(lambda phi: mpmath.sqrt(max(a + b * mpmath.cos(phi), 0)), [0, top])
            return 2 * (mpmath.mpf("0.4") * top + mpmath.mpf("0.6") * root)

        if l >= 1:
            points = [l - 1, l + 1]
        else:
            points = [0, 1 - l, 1 + l] if l > 0 else [0, 1]
        return mpmath.quad(lambda v: weighted_point_source(v) * arc(v), points) / (mpmath.mpf("0.8") * mpmath.pi)


def self_check():
    worst = mpmath.mpf(0)
    for l, rho in [(0.3, 1e-4), (0.999, 0.01), (0.05, 1.0), (0.0, 0.3), (1.01, 0.1)]:
        with mpmath.workdps(40):
            worst = max(worst, abs(limb_darkened(l, rho, 20) / limb_darkened(l, rho, 32) - 1))
    print(f"20 digits against 32 digits: {float(worst):.1e}")
    if worst > 1e-18:
        sys.exit("the reference does not hold 18 digits")
    # Far from the source the disk is a point source: A_ps(u) (1 + O((rho/u)^2)).
    with mpmath.workdps(20):
        l, rho = 1e4, 1e-4
        u = mpmath.mpf(l) * rho
        point = (u * u + 2) / (u * mpmath.sqrt(u * u + 4))
        if abs(limb_darkened(l, rho) / point - 1) > 1e-8:
            sys.exit("the reference does not tend to the point source")


def text():
    lines = ["# l rho A: linear limb darkening 0.6, 2-D mpmath integration about the lens, 20 digits "
             "(tools/gen_limb_darkened_reference.py)"]
    for rho in RADII:
        for l in SEPARATIONS:
            lines.append(f"{l!r} {rho!r} " + mpmath.nstr(limb_darkened(l, rho), 25, min_fixed=-1, max_fixed=-1))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="compare with the committed file only")
    args = parser.parse_args()
    self_check()
    body = text()
    if args.check:
        if DATA.read_text() != body:
            sys.exit(f"out of date: {DATA.name}; rerun {sys.argv[0]}")
        print("limb-darkened reference up to date")
        return
    DATA.write_text(body)
    print(f"wrote {DATA} ({body.count(chr(10)) - 1} cases)")


if __name__ == "__main__":
    main()
