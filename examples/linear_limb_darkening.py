"""Any linear limb-darkening coefficient c from two calls of the module.

The linear law I_c(r) = 1 - c (1 - mu), mu = sqrt(1 - r^2), is a mix of the uniform disk (I = 1)
and the module's fixed law I_0.6 = 0.4 + 0.6 mu:

    mu  = (I_0.6 - 0.4) / 0.6,   so   I_c = (1 - c) + c mu = (1 - 5c/3) + (5c/3) I_0.6.

A magnification is a magnified flux over an unmagnified one, and magnified fluxes add. Over the
disk of radius 1 the unmagnified fluxes are pi (uniform), 0.8 pi (I_0.6) and pi (1 - c/3) (I_c),
so with A_u and A_0.6 the magnifications of the uniform and the 0.6 law,

    A_c = ((1 - 5c/3) A_u + (4c/3) A_0.6) / (1 - c/3)
        = (A_u - c (A_u - 0.8 A_0.6) / 0.6) / (1 - c/3).

It holds for every c but 3; the brightness stays positive for 0 <= c <= 1. The result inherits
the accuracy of the two calls, an error of A_0.6 weighing (4c/3) / (1 - c/3), at most 2, in it.

    .venv/bin/python examples/linear_limb_darkening.py [--rho R] [--check]

prints A_c for a few coefficients and separations; --check also compares c = 0 with the uniform
disk and c = 0.6 with the module's own limb-darkened disk, exiting with status 1 if they differ.
"""

import argparse
import sys

import mirvanta


def linear_limb_darkening(l, re, rstar, c):
    """Magnification of a linear-limb-darkened source of coefficient c at the separations l
    (source radii), as a list."""
    uniform = mirvanta.witt_mao_magnification(l, re, rstar)
    law_06 = mirvanta.integrated_witt_mao_magnification(l, re, rstar)
    return [(a_u - c * (a_u - 0.8 * a_6) / 0.6) / (1 - c / 3) for a_u, a_6 in zip(uniform, law_06)]


def check(l, rho):
    """c = 0 is the uniform disk and c = 0.6 the module's own law, to rounding. Returns failures."""
    failures = []
    for c, same in ((0.0, mirvanta.witt_mao_magnification), (0.6, mirvanta.integrated_witt_mao_magnification)):
        for x, mixed, direct in zip(l, linear_limb_darkening(l, 1.0, rho, c), same(l, 1.0, rho)):
            if abs(mixed / direct - 1) > 1e-14:
                failures.append(f"c = {c}, l = {x}: {mixed!r} against {direct!r}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rho", type=float, default=0.05, help="source radius (Einstein radii)")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()

    l = [0.0, 0.5, 0.9, 1.1, 2.0, 5.0]
    coefficients = [0.0, 0.3, 0.6, 0.9, 1.0]
    columns = {c: linear_limb_darkening(l, 1.0, args.rho, c) for c in coefficients}
    print(f"Magnification of a linear-limb-darkened source, rho = {args.rho}\n")
    print(f"{'l (source radii)':>16}" + "".join(f"  {'c = ' + str(c):>9}" for c in coefficients))
    for i, x in enumerate(l):
        print(f"{x:16.2f}" + "".join(f"  {columns[c][i]:9.4f}" for c in coefficients))

    if args.check:
        failures = check(l, args.rho)
        for failure in failures:
            print("check failed:", failure)
        if failures:
            sys.exit(1)
        print("\ncheck: c = 0 gives the uniform disk and c = 0.6 the module's limb-darkened disk")


if __name__ == "__main__":
    main()
