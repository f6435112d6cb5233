#!/usr/bin/env python3
"""light_curve against the fastest peer's light-curve call, from Python, processes alternated.

    python3 -m venv /work/peer-venv && /work/peer-venv/bin/pip install VBMicrolensing numpy
    .venv/bin/python benchmarks/bench_light_curve_peer.py --peer /work/peer-venv/bin/python [--rounds 11]

The curves: 2,000 epochs of the quadratic law (a = 0.5, b = 0.2), u0 = 0.01, tE = 25, t within
2 tE of t0, rho = 0.01, 0.1 and 1. This module's light_curve at rtol 1e-10 and 1e-6 with one
worker and with two (RAYON_NUM_THREADS), each in a process of its own; the peer (VBMicrolensing,
in a virtual environment of its own outside the project, never a dependency) with ESPLLightCurve
after SetLDprofile(LDquadratic), a1 = 0.5, a2 = 0.2, at its default Tol 0.01, and at Tol 1e-3 and
1e-4, its closest to a matched tolerance (its values stop improving near 1e-3). Every process times
the median of 7 calls back to back; the table gives the median over the rounds in milliseconds,
and each peer tolerance's worst relative error against this module at rtol 1e-10. Then the one-element calls:
magnification(u, rho) for a number against witt_mao_magnification([l], 1, rho), in microseconds.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap

RADII = [0.01, 0.1, 1.0]

OURS = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    import mirvanta as M
    t = np.linspace(-50.0, 50.0, 2000)
    law = M.Quadratic(0.5, 0.2)
    out = {}
    for rho in RHOS:
        for rtol in (1e-10, 1e-6):
            M.light_curve(t, 0.0, 0.01, 25.0, rho, law, rtol=rtol)  # warm
            times = []
            for _ in range(7):
                start = time.perf_counter()
                M.light_curve(t, 0.0, 0.01, 25.0, rho, law, rtol=rtol)
                times.append(time.perf_counter() - start)
            out[f"{rho} {rtol}"] = sorted(times)[3] * 1e3
        out[f"values {rho}"] = M.light_curve(t, 0.0, 0.01, 25.0, rho, law).tolist()
    def per_call(call, n=20000):
        call()
        start = time.perf_counter()
        for _ in range(n):
            call()
        return (time.perf_counter() - start) / n * 1e6
    out["scalar uniform"] = per_call(lambda: M.magnification(0.05, 0.1))
    out["scalar quadratic far"] = per_call(lambda: M.magnification(0.5, 0.1, law))
    out["scalar quadratic near"] = per_call(lambda: M.magnification(0.12, 0.1, law), 2000)
    out["witt_mao one"] = per_call(lambda: M.witt_mao_magnification([0.5], 1.0, 0.1))
    print(json.dumps(out))
""")

PEER = textwrap.dedent("""
    import json, math, time
    import VBMicrolensing
    vb = VBMicrolensing.VBMicrolensing()
    vb.SetLDprofile(vb.LDquadratic)
    vb.a1, vb.a2 = 0.5, 0.2
    t = [-50.0 + 100.0 * i / 1999 for i in range(2000)]
    out = {}
    for tol in (1e-2, 1e-3, 1e-4):
        vb.Tol = tol
        for rho in RHOS:
            params = [math.log(0.01), math.log(25.0), 0.0, math.log(rho)]
            vb.ESPLLightCurve(params, t)  # warm
            times = []
            for _ in range(7):
                start = time.perf_counter()
                vb.ESPLLightCurve(params, t)
                times.append(time.perf_counter() - start)
            out[f"{rho} {tol}"] = sorted(times)[3] * 1e3
            out[f"values {rho} {tol}"] = list(vb.ESPLLightCurve(params, t)[0])
    print(json.dumps(out))
""")


def run(python, code, workers=None):
    env = dict(os.environ)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    code = code.replace("RHOS", repr(RADII))
    result = subprocess.run([python, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--peer", required=True, help="the interpreter of the peer's virtual environment")
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()
    ours = {1: [], 2: []}
    peer = []
    for _ in range(args.rounds):
        for workers in (1, 2):
            ours[workers].append(run(sys.executable, OURS, workers))
        peer.append(run(args.peer, PEER))

    def median(samples, key):
        return statistics.median(sample[key] for sample in samples)

    print("2,000-epoch quadratic-law light curve, ms per call (median of", args.rounds, "rounds)\n")
    print(f"{'rho':>5} {'1e-10 1w':>9} {'1e-10 2w':>9} {'1e-6 1w':>8} {'1e-6 2w':>8} {'peer':>7}"
          f" {'ratio 1e-10':>11} {'ratio 1e-6':>10} {'2w gain':>8} {'peer error':>10}")
    for rho in RADII:
        fine1, fine2 = median(ours[1], f"{rho} 1e-10"), median(ours[2], f"{rho} 1e-10")
        coarse1, coarse2 = median(ours[1], f"{rho} 1e-06"), median(ours[2], f"{rho} 1e-06")
        theirs = median(peer, f"{rho} 0.01")
        exact, approximate = ours[1][0][f"values {rho}"], peer[0][f"values {rho} 0.01"]
        error = max(abs(a / b - 1) for a, b in zip(approximate, exact))
        print(f"{rho:5g} {fine1:9.3f} {fine2:9.3f} {coarse1:8.3f} {coarse2:8.3f} {theirs:7.3f}"
              f" {fine1 / theirs:11.2f} {coarse1 / theirs:10.2f} {fine1 / fine2:8.2f} {error:10.1e}")
    print("\nthe peer at finer tolerances, ms per call and worst relative error against this module:")
    for rho in RADII:
        exact = ours[1][0][f"values {rho}"]
        cells = []
        for tol in (1e-3, 1e-4):
            approximate = peer[0][f"values {rho} {tol}"]
            error = max(abs(a / b - 1) for a, b in zip(approximate, exact))
            cells.append(f"Tol {tol:g}: {median(peer, f'{rho} {tol}'):7.3f} ms, {error:.1e}")
        print(f"  rho {rho:g}:  " + ";  ".join(cells))
    print("\none-element calls, us per call, one worker:")
    for key in ("witt_mao one", "scalar uniform", "scalar quadratic far", "scalar quadratic near"):
        print(f"  {key:24} {median(ours[1], key):8.3f}")


if __name__ == "__main__":
    main()
