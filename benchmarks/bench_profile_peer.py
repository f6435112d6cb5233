#!/usr/bin/env python3
"""The profile engine's light curves against the fastest peer's, processes alternated.

    python3 -m venv /work/peer-venv-profile && /work/peer-venv-profile/bin/pip install VBMicrolensing numpy
    cmake -S . -B build/bench -DMIRVANTA_BUILD_BENCHMARKS=ON -DMIRVANTA_BUILD_PYTHON=OFF && cmake --build build/bench -j 2
    /work/peer-venv-profile/bin/python benchmarks/bench_profile_peer.py build/bench/profile_timing [ROUNDS]

The peer (VBMicrolensing, in a virtual environment of its own, outside the project: never a
dependency) computes the same 2,000-epoch quadratic-law curves (a1 = 0.5, a2 = 0.2, u0 = 0.01,
tE = 25, t within 2 tE of t0; rho = 0.01, 0.1, 1) with ESPLLightCurve after
SetLDprofile(LDquadratic), at its default Tol 0.01 and at Tol 1e-3 and 1e-4. Each round runs this
engine's curves in a process of profile_timing (one worker, then two: RAYON_NUM_THREADS), then
the peer's here, each the median of 5 calls back to back; the table gives the median over the
rounds, in milliseconds per call, and the peer's worst relative error against this engine at
rtol 1e-10 (whose values are within 1e-10 of mpmath's).
"""

import json
import math
import os
import statistics
import subprocess
import sys
import time

import VBMicrolensing

RADII = [0.01, 0.1, 1.0]
TIMES = [-50.0 + 100.0 * i / 1999 for i in range(2000)]


def peer_curve(vb, rho):
    return vb.ESPLLightCurve([math.log(0.01), math.log(25.0), 0.0, math.log(rho)], TIMES)[0]


def main():
    binary = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    vb = VBMicrolensing.VBMicrolensing()
    vb.SetLDprofile(vb.LDquadratic)
    vb.a1, vb.a2 = 0.5, 0.2
    ours = {1: [], 2: []}
    peer = {tol: {rho: [] for rho in RADII} for tol in (1e-2, 1e-3, 1e-4)}
    for _ in range(rounds):
        for workers in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
            out = subprocess.run([binary, "curve", "1", "5"], env=env, capture_output=True, text=True, check=True)
            ours[workers].append(json.loads(out.stdout.strip().splitlines()[-1]))
        for tol in peer:
            vb.Tol = tol
            for rho in RADII:
                times = []
                for _ in range(5):
                    start = time.perf_counter()
                    peer_curve(vb, rho)
                    times.append((time.perf_counter() - start) * 1e3)
                peer[tol][rho].append(statistics.median(times))
    # The peer's worst relative error against this engine at rtol 1e-10 (within 1e-10 of mpmath).
    print("| rho | peer's worst error, Tol 0.01 | Tol 1e-3 | Tol 1e-4 |")
    print("|---|---|---|---|")
    for rho in RADII:
        out = subprocess.run([binary, "values", str(rho)], capture_output=True, text=True, check=True)
        exact = [float(v) for v in out.stdout.split()]
        errors = []
        for tol in peer:
            vb.Tol = tol
            errors.append(max(abs(a / b - 1) for a, b in zip(peer_curve(vb, rho), exact)))
        print(f"| {rho} | " + " | ".join(f"{e:.1e}" for e in errors) + " |")
    print()
    print("| rho | rtol | this build, 1 worker | 2 workers | 1/2 | peer Tol 0.01 | peer Tol 1e-3 | peer Tol 1e-4 |")
    print("|---|---|---|---|---|---|---|---|")
    for rtol in (1e-10, 1e-6):
        for rho in RADII:
            one = statistics.median(r["ms"] for rs in [ours[1]] for r0 in rs for r in r0 if r["rho"] == rho and r["rtol"] == rtol)
            two = statistics.median(r["ms"] for rs in [ours[2]] for r0 in rs for r in r0 if r["rho"] == rho and r["rtol"] == rtol)
            cells = " | ".join(f"{statistics.median(peer[tol][rho]):.3f}" for tol in peer)
            print(f"| {rho} | {rtol:g} | {one:.3f} | {two:.3f} | {one / two:.2f} | {cells} |")


if __name__ == "__main__":
    main()
