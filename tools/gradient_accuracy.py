#!/usr/bin/env python3
"""The error map of magnification_and_gradient over its domain: every law and a tabulated profile,
rho from 1e-6 to 100, the lens from the centre to 1e4 source radii, against Richardson-extrapolated
central differences of magnification at rtol 1e-13 (the values alone: an independent route).

    .venv/bin/python tools/gradient_accuracy.py [--rtol 1e-10] [--laws quadratic,claret,...]

Errors are relative to max(|derivative|, A/rho) for dA/du and dA/drho, and to A for the
coefficients' derivatives. A difference quotient of values good to eps = 1e-13 is itself good to
about eps A / h (h the smallest step), so each row also gives the reference's own floor, eps * rho / h at its closest
point to the limb: an error under the floor says the derivative is as good as the reference can
tell. Steps stay on one side of the limb (a tenth of the distance to it at most), so points
closer than 1e-3 source radii to the limb are beyond what differences of values can check; the
disk's derivatives there are checked against mpmath (docs/accuracy.md, the uniform disk's
derivatives).
"""

import argparse
import math
import warnings

import numpy as np

import mirvanta as m

RHOS = [1e-6, 1e-4, 1e-2, 0.1, 1.0, 10.0, 100.0]
# Places of the lens in source radii: the centre, inside, next to the limb on both sides (down to
# 1e-3 of it), the near field and far out (the series).
X = [0.0, 0.3, 0.8, 0.99, 0.999, 1.001, 1.01, 1.3, 2.0, 5.0, 30.0, 300.0, 1e4]
EPS = 1e-13


def laws():
    return {
        "uniform": None, "linear": m.Linear(0.6), "quadratic": m.Quadratic(0.5, 0.2),
        "square_root": m.SquareRoot(0.3, 0.4), "power2": m.Power2(0.6, 0.7),
        "logarithmic": m.Logarithmic(0.6, 0.2), "claret": m.Claret(0.6, -0.3, 0.9, -0.45),
        "profile": m.Profile([0.0, 0.4, 0.4, 0.8, 1.0], [1.0, 0.9, 0.6, 0.5, 0.2]),
    }


def coefficients(law):
    if law is None:
        return [], lambda c: None
    if isinstance(law, m.Profile):
        return list(law.brightness), lambda c: m.Profile(law.radii, c)
    names = {"Linear": ["c"], "Quadratic": ["a", "b"], "SquareRoot": ["c", "d"], "Power2": ["c", "alpha"],
             "Logarithmic": ["c", "d"], "Claret": ["a1", "a2", "a3", "a4"]}
    return [getattr(law, n) for n in names[type(law).__name__]], lambda c: type(law)(*c)


def richardson(f, x, h):
    """df/dx from central differences of steps h, h/2 and h/4, extrapolated twice (error O(h^6))."""
    d = [(f(x + s) - f(x - s)) / (2 * s) for s in (h, h / 2, h / 4)]
    r1, r2 = (4 * d[1] - d[0]) / 3, (4 * d[2] - d[1]) / 3
    return (16 * r2 - r1) / 15


def value(u, rho, law):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return m.magnification(u, rho, law, rtol=1e-13)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rtol", type=float, default=1e-10)
    parser.add_argument("--laws", default=",".join(laws()))
    args = parser.parse_args()
    chosen = {k: v for k, v in laws().items() if k in args.laws.split(",")}
    print(f"rtol {args.rtol:g}; worst error of dA/du, dA/drho (relative to max(|dA|, A/rho)) and "
          f"dA/dlimb (relative to A) over x = u/rho in {X[0]:g}..{X[-1]:g}; floor = the reference's own")
    print(f"{'law':>12} {'rho':>7} {'dA/du':>9} {'dA/drho':>9} {'dA/dlimb':>9} {'floor':>9}  worst at x")
    overall = 0.0
    for name, law in chosen.items():
        c, make = coefficients(law)
        for rho in RHOS:
            u = rho * np.array(X)
            # Among 2,000 separations of the same source, as a light curve's, so that the call's
            # interpolant serves those near the source as it would in a fit.
            crowd = np.concatenate([u, rho * np.linspace(0.0, 3.0, 2000)])
            a, du, drho, dlimb = (v[:len(X)] for v in m.magnification_and_gradient(crowd, rho, law, rtol=args.rtol))
            worst, where, floor = [0.0, 0.0, 0.0], [None] * 3, 0.0
            for i, x in enumerate(X):
                scale = max(abs(du[i]), a[i] / rho)
                limb = abs(x - 1.0)
                h = rho * min(2e-4, 0.1 * limb)
                hu = min(rho * min(2e-4 * max(x, 1.0), 0.1 * limb), 0.25 * u[i])
                floor = max(floor, EPS * a[i] / (0.25 * (h if x == 0 else min(h, hu))) / scale)
                errors = [abs(drho[i] - richardson(lambda r: value(u[i], r, law), rho, h)) / scale]
                if x > 0:
                    errors.insert(0, abs(du[i] - richardson(lambda y: value(y, rho, law), u[i], hu)) / scale)
                else:  # the centre: dA/du is 0 by symmetry
                    errors.insert(0, abs(du[i]) / scale)
                e_limb = 0.0
                for j in range(len(c)):
                    def at(cj, j=j):
                        cs = list(c)
                        cs[j] = cj
                        return value(u[i], rho, make(cs))
                    step = 1e-3 * max(abs(c[j]), 0.1)
                    e_limb = max(e_limb, abs(dlimb[i, j] - richardson(at, c[j], step)) / a[i])
                errors.append(e_limb)
                for k in range(3):
                    if errors[k] > worst[k]:
                        worst[k], where[k] = errors[k], x
            overall = max(overall, *worst)
            at = ",".join("-" if w is None else f"{w:g}" for w in where)
            print(f"{name:>12} {rho:7.0e} {worst[0]:9.1e} {worst[1]:9.1e} {worst[2]:9.1e} {floor:9.1e}  {at}")
    print(f"worst over the map: {overall:.1e}")


if __name__ == "__main__":
    main()
