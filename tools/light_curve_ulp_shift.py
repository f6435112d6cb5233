#!/usr/bin/env python3
"""By how many ulps the uniform-disk-based functions of two builds differ over light curves.

    .venv/bin/python tools/light_curve_ulp_shift.py OLD_EXTENSION [NEW_EXTENSION]

OLD_EXTENSION and NEW_EXTENSION are paths to built extension modules (the .so files); without
NEW_EXTENSION the installed `mirvanta` is the new one. Each light curve is a point-lens event
with impact parameter u0 and source radius rho (Einstein radii), sampled at 400 times over
|t - t0| <= 3 tE: u = sqrt(u0^2 + tau^2), passed as l = u/rho source radii. The functions are
`witt_mao_magnification`, `integrated_witt_mao_magnification` and
`integrated_flux_map_witt_mao_magnification` (a 21-point map of the linear limb-darkening law
with coefficient 0.6). Prints, per function and curve, the share of values that changed and the
largest change in ulps and relative, where (u/rho) it occurs, and the mean change in ulps.
"""

import math
import sys

from other_build import load

CURVES = [(rho, u0) for rho in (0.001, 0.01, 0.05) for u0 in (0.0, 0.5 * rho, 2.0 * rho, 0.3)]
MAP_RADII = [i / 20 for i in range(21)]
MAP_BRIGHTNESS = [1.0 - 0.6 * (1.0 - math.sqrt(1.0 - x * x)) for x in MAP_RADII]


def separations(rho, u0, count=400):
    taus = [-3.0 + 6.0 * i / (count - 1) for i in range(count)]
    return [math.sqrt(u0 * u0 + tau * tau) / rho for tau in taus]


def evaluate(module, name, l, rho):
    function = getattr(module, name)
    if "flux_map" in name:
        return function(l, 1.0, rho, MAP_RADII, MAP_BRIGHTNESS)
    return function(l, 1.0, rho)


def ulps(a, b):
    if math.isnan(a) and math.isnan(b):
        return 0.0
    return abs(a - b) / math.ulp(b)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    old = load(sys.argv[1])
    if len(sys.argv) > 2:
        new = load(sys.argv[2])
    else:
        import mirvanta as new
    names = ["witt_mao_magnification", "integrated_witt_mao_magnification",
             "integrated_flux_map_witt_mao_magnification"]
    print("| function | rho | u0 | changed | largest (ulps) | relative | at u/rho | mean (ulps) |")
    print("|---|---|---|---|---|---|---|---|")
    for name in names:
        for rho, u0 in CURVES:
            l = separations(rho, u0)
            before, after = evaluate(old, name, l, rho), evaluate(new, name, l, rho)
            shifts = [ulps(a, b) for a, b in zip(after, before)]
            changed = sum(s > 0 for s in shifts)
            worst = max(range(len(l)), key=shifts.__getitem__)
            relative = abs(after[worst] / before[worst] - 1)
            print(f"| {name} | {rho:g} | {u0:g} | {changed}/{len(l)} | {shifts[worst]:.0f} | {relative:.1e} | "
                  f"{l[worst]:.4g} | {sum(shifts) / len(shifts):.2f} |")


if __name__ == "__main__":
    main()
