#!/usr/bin/env python3
"""Speed of the limb-darkened and flux-map functions, in microseconds per separation.

    .venv/bin/python benchmarks/bench_extended_sources.py [--json PATH]

Each function runs on one thread (they evaluate the separations one after another). Next to
them: the limb-darkened magnification by an independent two-dimensional integration
(scipy.integrate.dblquad over the disk, in polar coordinates, of the point-source magnification
weighted by the linear limb-darkening law), at an accuracy matched to the module's, with the lens
outside the source where both integrands are smooth.
"""

import argparse
import json
import math
import pathlib
import time

import mirvanta

ROOT = pathlib.Path(__file__).resolve().parent.parent
RHO = 0.05
SEPARATIONS = [0.02 * i for i in range(1, 201)]  # 0.02 to 4 source radii: inside and outside
RADII = [i / 39 for i in range(40)]
BRIGHTNESS = [1 - 0.6 * (1 - math.sqrt(max(0.0, 1 - r * r))) for r in RADII]

CALLS = {
    "witt_mao_magnification (uniform disk, for scale)": lambda l: mirvanta.witt_mao_magnification(l, 1.0, RHO),
    "integrated_witt_mao_magnification": lambda l: mirvanta.integrated_witt_mao_magnification(l, 1.0, RHO),
    "integrated_heyrovsky_magnification": lambda l: mirvanta.integrated_heyrovsky_magnification(l, 1.0, RHO),
    "discrete_flux_map_heyrovsky_magnification (40 rings)":
        lambda l: mirvanta.discrete_flux_map_heyrovsky_magnification([x + 1e-3 for x in l], 1.0, RHO, RADII,
                                                                     BRIGHTNESS),
    "integrated_flux_map_witt_mao_magnification (40 radii)":
        lambda l: mirvanta.integrated_flux_map_witt_mao_magnification(l, 1.0, RHO, RADII, BRIGHTNESS),
    "integrated_flux_map_heyrovsky_magnification (40 radii)":
        lambda l: mirvanta.integrated_flux_map_heyrovsky_magnification(l, 1.0, RHO, RADII, BRIGHTNESS),
}


def best_seconds(call, rounds=5):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def dblquad_limb_darkened(l, rho, tolerance):
    """Linear limb darkening by scipy's adaptive 2-D quadrature over the disk (source radii)."""
    from scipy import integrate

    q = 1 / rho

    def magnified(phi, r):
        u = math.sqrt(max(l * l + r * r - 2 * l * r * math.cos(phi), 0.0)) / q
        brightness = 1 - 0.6 * (1 - math.sqrt(max(0.0, 1 - r * r)))
        return r * brightness * (u * u + 2) / (u * math.sqrt(u * u + 4))

    value, _ = integrate.dblquad(magnified, 0, 1, 0, math.pi, epsabs=0, epsrel=tolerance)
    return value / (math.pi / 2 * 0.8)  # int_0^1 int_0^pi r I(r) dphi dr = 0.4 pi


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", default=str(ROOT / "build" / "bench" / "extended_sources.json"))
    args = parser.parse_args()

    rows = {}
    print(f"Microseconds per separation, rho = {RHO}, {len(SEPARATIONS)} separations from 0.02 to 4 source radii\n")
    for name, call in CALLS.items():
        seconds = best_seconds(lambda: call(SEPARATIONS))
        rows[name] = seconds / len(SEPARATIONS) * 1e6
        print(f"  {name:<58} {rows[name]:9.1f}")

    print("\nLimb-darkened magnification with the lens outside the source: module vs scipy dblquad")
    comparison = []
    for l in (1.5, 3.0, 10.0):
        module_seconds = best_seconds(lambda: mirvanta.integrated_witt_mao_magnification([l], 1.0, RHO))
        module_value = mirvanta.integrated_witt_mao_magnification([l], 1.0, RHO)[0]
        reference = dblquad_limb_darkened(l, RHO, 1e-13)
        row = {"l": l, "module_us": module_seconds * 1e6, "module_relative_error": module_value / reference - 1}
        text = f"  l = {l:5}: module {row['module_us']:7.1f} us (error {row['module_relative_error']:+.1e})"
        for tolerance in (1e-6, 1e-10):
            start = time.perf_counter()
            value = dblquad_limb_darkened(l, RHO, tolerance)
            elapsed = time.perf_counter() - start
            row[f"dblquad_{tolerance:g}_us"] = elapsed * 1e6
            row[f"dblquad_{tolerance:g}_relative_error"] = value / reference - 1
            text += f"; dblquad epsrel {tolerance:g}: {elapsed * 1e6:8.0f} us (error {value / reference - 1:+.1e})"
        comparison.append(row)
        print(text)

    pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.json).write_text(json.dumps({"microseconds_per_separation": rows, "dblquad": comparison},
                                                  indent=1))
    print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
