#!/usr/bin/env python3
"""Speed of the limb-darkened and flux-map functions, in microseconds per separation.

    .venv/bin/python benchmarks/bench_extended_sources.py [--json PATH] [--baseline EXTENSION] [--rounds N]

Each function runs on the process's worker pool; RAYON_NUM_THREADS=1 times it on one thread. Next to
them: the limb-darkened magnification by an independent two-dimensional integration
(scipy.integrate.dblquad over the disk, in polar coordinates, of the point-source magnification
weighted by the linear limb-darkening law), at an accuracy matched to the module's, with the lens
outside the source where both integrands are smooth.

With --baseline, a path to another build of the extension module (a .so file), the two
uniform-disk-based functions of both builds (the flux map with the quadratic law at 40 radii and
with 200 random radii) are timed with the lens inside the source (50
separations (k + 0.5)/50 source radii) and outside it (50 from 1.02 to 4), in interleaved rounds
in this one process (A B B A A B ...), so that a load that comes and goes falls on both alike;
it prints the median and the best round of each, per separation, and the ratio of this build's
to the baseline's.
"""

import argparse
import json
import math
import pathlib
import random
import statistics
import sys
import time

import mirvanta

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from other_build import load  # noqa: E402

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


def against_baseline(baseline, rounds):
    """Interleaved rounds of this build and the baseline, inside and outside the source."""
    places = {"inside": [(k + 0.5) / 50 for k in range(50)], "outside": [1.02 + 2.98 * k / 49 for k in range(50)]}
    radii = [i / 39 for i in range(40)]
    quadratic = [1 - 0.4 * (1 - math.sqrt(1 - r * r)) - 0.25 * (1 - math.sqrt(1 - r * r)) ** 2 for r in radii]
    rng = random.Random(2)  # a tabulated profile's corners: 200 random radii and brightness values
    random_radii = [0.0] + sorted(rng.uniform(0.0, 1.0) for _ in range(198)) + [1.0]
    random_brightness = [rng.uniform(0.0, 2.0) for _ in range(200)]
    functions = {
        "integrated_witt_mao_magnification": lambda m, l: m.integrated_witt_mao_magnification(l, 1.0, RHO),
        "integrated_flux_map_witt_mao_magnification (40 radii)":
            lambda m, l: m.integrated_flux_map_witt_mao_magnification(l, 1.0, RHO, radii, quadratic),
        "integrated_flux_map_witt_mao_magnification (200 random radii)":
            lambda m, l: m.integrated_flux_map_witt_mao_magnification(l, 1.0, RHO, random_radii, random_brightness),
    }
    builds = {"now": mirvanta, "baseline": baseline}
    times = {(f, p, b): [] for f in functions for p in places for b in builds}
    for round_ in range(rounds):
        order = list(builds) if round_ % 2 == 0 else list(builds)[::-1]
        for f, call in functions.items():
            for p, l in places.items():
                for b in order:
                    start = time.perf_counter()
                    call(builds[b], l)
                    times[f, p, b].append((time.perf_counter() - start) / len(l) * 1e6)
    print(f"\nThis build against {baseline.__file__}, {rounds} interleaved rounds, rho = {RHO}: "
          "microseconds per separation, median (best)")
    result = []
    for f in functions:
        for p in places:
            now, before = times[f, p, "now"], times[f, p, "baseline"]
            row = {"function": f, "place": p, "now_median_us": statistics.median(now), "now_best_us": min(now),
                   "baseline_median_us": statistics.median(before), "baseline_best_us": min(before),
                   "ratio_median": statistics.median(now) / statistics.median(before),
                   "ratio_best": min(now) / min(before),
                   "ratio_per_round_quartiles": statistics.quantiles([a / b for a, b in zip(now, before)], n=4)}
            result.append(row)
            print(f"  {f:<62} {p:<8} now {row['now_median_us']:7.1f} ({row['now_best_us']:6.1f}), baseline "
                  f"{row['baseline_median_us']:7.1f} ({row['baseline_best_us']:6.1f}): ratio {row['ratio_median']:.2f} "
                  f"({row['ratio_best']:.2f}); per-round ratios, quartiles "
                  + " / ".join(f"{q:.2f}" for q in row["ratio_per_round_quartiles"]))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", default=str(ROOT / "build" / "bench" / "extended_sources.json"))
    parser.add_argument("--baseline", help="path to another build of the extension module, timed against this one")
    parser.add_argument("--rounds", type=int, default=21, help="interleaved rounds against the baseline")
    args = parser.parse_args()

    if args.baseline:
        comparison = against_baseline(load(args.baseline), args.rounds)
        pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(args.json).write_text(json.dumps({"against_baseline": comparison}, indent=1))
        print(f"\nwrote {args.json}")
        return

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
