#!/usr/bin/env python3
"""Light curves served from the bases' tables, against another build of this module, from Python,
processes alternated.

    .venv/bin/python benchmarks/bench_table_curves.py [--rounds 5] [--baseline PATH] [--cpu N]

The curves: 2,000 epochs, u0 = 0.01, tE = 25, t within 2 tE of t0, rho = 0.01, 0.1, 1 and 10; the
quadratic law (a = 0.5, b = 0.2) at rtol 1e-10 and 1e-6, the uniform disk, and the square-root
(0.3, 0.4) and Claret (0.6, -0.3, 0.9, -0.45) laws at rtol 1e-10. Each build runs in
a process of its own with one worker (RAYON_NUM_THREADS=1), pinned to one CPU (--cpu, default 0),
the builds alternated round after round; each process times the median of 9 calls back to back;
the table gives the median over the rounds in milliseconds. --baseline PATH: a folder holding
another build's extension (put first on PYTHONPATH), e.g. a copy of the installed module before a
change. The last columns: the worst relative error of each rtol's curve against this build's
curve at rtol 1e-13 (not served by the tables), and how many epochs the tables served
(magnification's own count is not exposed: the epochs within [0, 2] rho of the lens but the
limb's gap of 2^-14 rho, for rho in [0.1, 10]).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap

RADII = [0.01, 0.1, 1.0, 10.0]

CODE = textwrap.dedent("""
    import json, time
    import numpy as np
    import mirvanta as M
    t = np.linspace(-50.0, 50.0, 2000)
    law = M.Quadratic(0.5, 0.2)
    out = {}
    def timed(call):
        call()
        times = []
        for _ in range(9):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
        return sorted(times)[4] * 1e3
    for rho in RADII:
        for rtol in (1e-10, 1e-6):
            out[f"{rho} {rtol}"] = timed(lambda: M.light_curve(t, 0.0, 0.01, 25.0, rho, law, rtol=rtol))
            out[f"values {rho} {rtol}"] = M.light_curve(t, 0.0, 0.01, 25.0, rho, law, rtol=rtol).tolist()
        out[f"{rho} uniform"] = timed(lambda: M.light_curve(t, 0.0, 0.01, 25.0, rho))
        for name, other in (("square_root", M.SquareRoot(0.3, 0.4)), ("claret", M.Claret(0.6, -0.3, 0.9, -0.45))):
            out[f"{rho} {name}"] = timed(lambda: M.light_curve(t, 0.0, 0.01, 25.0, rho, other, rtol=1e-10))
        out[f"values {rho} exact"] = M.light_curve(t, 0.0, 0.01, 25.0, rho, law, rtol=1e-13).tolist()
    print(json.dumps(out))
""")


def run(code, cpu, path=None):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    if path is not None:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    command = ["taskset", "-c", str(cpu), sys.executable, "-c", code.replace("RADII", repr(RADII))]
    result = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--baseline", help="a folder holding another build's extension")
    parser.add_argument("--cpu", type=int, default=0)
    args = parser.parse_args()
    builds = {"this": None} if args.baseline is None else {"this": None, "baseline": args.baseline}
    samples = {name: [] for name in builds}
    for _ in range(args.rounds):
        for name, path in builds.items():
            samples[name].append(run(CODE, args.cpu, path))
    print(f"2,000-epoch light curves, ms per call, one worker, median of {args.rounds} rounds")
    print("(worst relative error against this build at rtol 1e-13 in brackets)\n")
    for name in builds:
        print(f"{name}:")
        print(f"{'rho':>6} {'quadratic 1e-10':>26} {'quadratic 1e-6':>26} {'uniform':>9} {'sqrt 1e-10':>11}"
              f" {'Claret 1e-10':>13}")
        for rho in RADII:
            exact = samples["this"][0][f"values {rho} exact"]
            cells = []
            for rtol in ("1e-10", "1e-06"):
                ms = statistics.median(s[f"{rho} {float(rtol)}"] for s in samples[name])
                values = samples[name][0][f"values {rho} {float(rtol)}"]
                error = max(abs(a / b - 1) for a, b in zip(values, exact))
                cells.append(f"{ms:8.3f} ({error:.1e})")
            uniform, root, claret = (statistics.median(s[f"{rho} {key}"] for s in samples[name])
                                     for key in ("uniform", "square_root", "claret"))
            print(f"{rho:6g} {cells[0]:>26} {cells[1]:>26} {uniform:9.3f} {root:11.3f} {claret:13.3f}")
        print()


if __name__ == "__main__":
    main()
