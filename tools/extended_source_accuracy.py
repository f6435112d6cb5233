#!/usr/bin/env python3
"""Accuracy of the limb-darkened and flux-map uniform-disk functions with the lens inside and near
the limb, against an independent two-dimensional integration.

    .venv/bin/python tools/extended_source_accuracy.py [EXTENSION ...]   # needs scipy

Each EXTENSION is a path to a built extension module (.so), compared side by side; without one
the installed `mirvanta` is measured. The functions are `integrated_witt_mao_magnification`
(linear limb darkening, coefficient 0.6) and `integrated_flux_map_witt_mao_magnification` with
a flux map (the quadratic law 1 - 0.4 (1 - mu) - 0.25 (1 - mu)^2
sampled at 40 radii i/39, linear in between). The reference integrates the point-source
magnification times the brightness over the disk in polar coordinates about the lens
(scipy.integrate.quad, nested, with breakpoints where an arc about the lens meets the limb or a
map radius), where the area element cancels the magnification's 1/distance singularity. Prints,
for each rho and separation l (source radii), the relative error of each module.
"""

import math
import pathlib
import sys

from scipy import integrate

from other_build import load

RADII = [i / 39 for i in range(40)]


def quadratic_law(r):
    mu = math.sqrt(max(0.0, 1 - r * r))
    return 1 - 0.4 * (1 - mu) - 0.25 * (1 - mu) ** 2


MAP = [quadratic_law(r) for r in RADII]


def flux_map(r):
    if r >= 1.0:
        return MAP[-1] if r == 1.0 else 0.0
    j = min(int(r * 39), 38)
    return MAP[j] + (MAP[j + 1] - MAP[j]) * (r * 39 - j)


def linear_law(r):
    return 1 - 0.6 * (1 - math.sqrt(max(0.0, 1 - r * r)))


def point_source(u):
    return (u * u + 2) / (u * math.sqrt(u * u + 4))


def magnification(l, rho, brightness, radii):
    """The brightness-weighted mean of the point-source magnification over the unit disk, the lens
    l source radii from its centre; `radii` are the radii where the brightness has a kink."""
    def circle(v):  # the arc of the circle of radius v about the lens inside the disk
        if l == 0.0:
            return 2 * math.pi * brightness(v) * v * point_source(v * rho)
        cos_edge = (l * l + v * v - 1) / (2 * l * v)
        top = math.pi if cos_edge <= -1 else math.acos(min(1.0, cos_edge))
        kinks = []
        for r in radii:
            c = (l * l + v * v - r * r) / (2 * l * v)
            if -1 < c < 1 and 0 < math.acos(c) < top:
                kinks.append(math.acos(c))
        inner = integrate.quad(lambda phi: brightness(math.sqrt(max(0.0, l * l + v * v - 2 * l * v * math.cos(phi)))),
                               0, top, points=sorted(kinks) or None, limit=400, epsabs=0, epsrel=1e-13)[0]
        return 2 * inner * v * point_source(v * rho)

    breaks = sorted({abs(l - r) for r in radii + [1.0]} | {l + r for r in radii + [1.0]})
    low, high = max(0.0, l - 1), l + 1
    breaks = [b for b in breaks if low < b < high]
    pieces = [low] + breaks + [high]
    total = sum(integrate.quad(circle, a, b, limit=400, epsabs=0, epsrel=1e-13)[0] for a, b in zip(pieces, pieces[1:]))
    flux = integrate.quad(lambda r: 2 * math.pi * r * brightness(r), 0, 1, points=radii or None, limit=400,
                          epsabs=0, epsrel=1e-13)[0]
    return total / flux


def main():
    if len(sys.argv) > 1:
        modules = [(path, load(path)) for path in sys.argv[1:]]
    else:
        import mirvanta
        modules = [("installed", mirvanta)]
    separations = [0.0, 0.3, 0.7, 0.9, 0.97, 0.99, 0.999, 1.001, 1.01, 1.03, 1.1]
    cases = [("integrated_witt_mao_magnification", linear_law, [], ()),
             ("integrated_flux_map_witt_mao_magnification (40 radii)", flux_map, RADII[1:-1], (RADII, MAP))]
    for name, brightness, radii, extra in cases:
        print(name)
        print("  rho      l      " + "  ".join(f"{pathlib.Path(path).parent.name[-14:]:>14}" for path, _ in modules))
        for rho in (1e-4, 1e-3, 1e-2, 0.1):
            worst = [0.0] * len(modules)
            for l in separations:
                reference = magnification(l, rho, brightness, radii)
                errors = []
                for i, (_, module) in enumerate(modules):
                    function = getattr(module, name.split(" ")[0])
                    value = function([l], 1.0, rho, *extra)[0]
                    errors.append(value / reference - 1)
                    worst[i] = max(worst[i], abs(errors[-1]))
                print(f"  {rho:<8g} {l:<6g} " + "  ".join(f"{e:>14.1e}" for e in errors))
            print(f"  {rho:<8g} worst  " + "  ".join(f"{w:>14.1e}" for w in worst))


if __name__ == "__main__":
    main()
