#!/usr/bin/env python3
"""The Jacobian of a light curve against the curve alone: light_curve_and_jacobian over light_curve,
one worker, processes alternated.

    .venv/bin/python benchmarks/bench_jacobian.py [--rounds 11] [--baseline PYTHON]

The curve of the light-curve benchmarks: 2,000 epochs, t = linspace(-50, 50, 2000), t0 = 0,
u0 = 0.01, tE = 25, rho = 0.01, 0.1 and 1, the quadratic law (0.5, 0.2) and the uniform disk
(limb=None), rtol 1e-10 and 1e-6. A process of its own (RAYON_NUM_THREADS=1) times, each round,
the median of 7 calls back to back of each function, the two functions alternated call by call;
the table gives the medians over the rounds of the value's and the Jacobian's milliseconds and of
the round's ratio (Jacobian over value: the full Jacobian, the value included, against the value
alone), then the fastest call of each over all rounds and their ratio: on a machine shared with
other work a call that the scheduler preempts takes a time slice (about 4 ms here) more, which
falls more often on the longer call and can move its median by a slice. With --baseline PYTHON another build of the module (an interpreter that imports it) runs
the same rounds in a process of its own, measured in turn with this one.
"""

import argparse
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from contender import Contender  # noqa: E402

RADII = [0.01, 0.1, 1.0]
TOLERANCES = [1e-10, 1e-6]
LAWS = ["quadratic", "uniform"]
CALLS = 7


def serve():
    import json

    import numpy as np

    import mirvanta as M

    t = np.linspace(-50.0, 50.0, 2000)
    limbs = {"quadratic": M.Quadratic(0.5, 0.2), "uniform": None}
    for line in sys.stdin:
        answer = {}
        for name in LAWS:
            limb = limbs[name]
            for rho in RADII:
                for rtol in TOLERANCES:
                    value = lambda: M.light_curve(t, 0.0, 0.01, 25.0, rho, limb, rtol=rtol)  # noqa: E731
                    jacobian = lambda: M.light_curve_and_jacobian(t, 0.0, 0.01, 25.0, rho, limb, rtol=rtol)  # noqa: E731
                    value()
                    jacobian()
                    times = {"value": [], "jacobian": []}
                    for _ in range(CALLS):
                        for key, call in (("value", value), ("jacobian", jacobian)):
                            start = time.perf_counter()
                            call()
                            times[key].append(time.perf_counter() - start)
                    answer[f"{name} {rho} {rtol}"] = [statistics.median(times["value"]) * 1e3,
                                                      statistics.median(times["jacobian"]) * 1e3,
                                                      min(times["value"]) * 1e3, min(times["jacobian"]) * 1e3]
        print(json.dumps(answer), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--baseline", help="an interpreter that imports another build of the module")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve()
    script = str(pathlib.Path(__file__).resolve())
    contenders = [Contender(sys.executable, script, 1, "this build")]
    if args.baseline:
        contenders.append(Contender(args.baseline, script, 1, "baseline"))
    rounds = {c.label: [] for c in contenders}
    for _ in range(args.rounds):
        for c in contenders:
            rounds[c.label].append(c.ask("round"))
    for c in contenders:
        c.close()

    print(f"2,000-epoch light curves, one worker, ms per call, medians of {args.rounds} rounds "
          f"(ratio: Jacobian / value, round by round)\n")
    for label, samples in rounds.items():
        print(f"{label}:")
        print(f"{'law':>10} {'rtol':>6} {'rho':>5} {'value':>8} {'Jacobian':>9} {'ratio':>6}   "
              f"{'fastest: value':>14} {'Jacobian':>9} {'ratio':>6}")
        for name in LAWS:
            for rtol in TOLERANCES:
                for rho in RADII:
                    key = f"{name} {rho} {rtol}"
                    value = statistics.median(s[key][0] for s in samples)
                    jac = statistics.median(s[key][1] for s in samples)
                    ratio = statistics.median(s[key][1] / s[key][0] for s in samples)
                    fast_value = min(s[key][2] for s in samples)
                    fast_jac = min(s[key][3] for s in samples)
                    print(f"{name:>10} {rtol:6.0e} {rho:5g} {value:8.3f} {jac:9.3f} {ratio:6.2f}   "
                          f"{fast_value:14.3f} {fast_jac:9.3f} {fast_jac / fast_value:6.2f}")
        print()


if __name__ == "__main__":
    main()
