#!/usr/bin/env python3
"""A large call's own memory: the peak resident size of a process that makes the input, runs one
call and keeps its result, less the size of the same process with only the input and an output
array of the result's size made (the input, the output, the interpreter and NumPy).

    .venv/bin/python benchmarks/bench_memory.py [--n N] [--threads 1,2] [--cases law,disk,light_curve,rho]

Each measurement runs in a fresh process (ru_maxrss of the child). The cases: `law`,
magnification(u, 0.05, Quadratic(0.5, 0.2)) of N separations in [0, 0.1]; `disk`, the same
without a law; `light_curve`, light_curve of N times with the quadratic law; `rho`,
magnification with u of shape (N/1000, 1) against rho of shape (1000,) (a broadcast, no array of N
in the input). The goal: the call's own memory within 64 MB whatever N.
"""

import argparse
import os
import resource
import subprocess
import sys

CHILD = r'''
import resource, sys
import numpy as np
n, case, baseline = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1"
rng = np.random.default_rng(1)
if case == "rho":
    u, rho = rng.random((n // 1000, 1)) * 0.1, np.linspace(0.01, 0.1, 1000)
elif case == "light_curve":
    u, rho = np.linspace(-50.0, 50.0, n), 0.05
else:
    u, rho = rng.random(n) * 0.1, 0.05
if baseline:
    out = np.empty(np.broadcast_shapes(np.shape(u), np.shape(rho)))
    out.fill(1.0)
else:
    import mirvanta
    law = None if case == "disk" else mirvanta.Quadratic(0.5, 0.2)
    if case == "light_curve":
        out = mirvanta.light_curve(u, 0.0, 0.01, 25.0, rho, law)
    else:
        out = mirvanta.magnification(u, rho, law)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
'''


def peak(n, case, baseline, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    if baseline:
        env["PYTHONPATH"] = ""  # NumPy only; the module is imported but unused in the other run
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), case, "1" if baseline else "0"], env=env,
                         capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1]) / 1024  # MB


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=float, default=1e8, help="elements of the result (default 1e8)")
    parser.add_argument("--threads", default="1,2", help="worker counts (default 1,2)")
    parser.add_argument("--cases", default="law,disk,light_curve,rho")
    args = parser.parse_args()
    n = int(args.n)
    print(f"{n:.3g} elements: peak resident MB of the call's process, of the same process with its input and "
          f"output only, and the call's own memory")
    for case in args.cases.split(","):
        base = peak(n, case, True, 1)
        for threads in (int(t) for t in args.threads.split(",")):
            full = peak(n, case, False, threads)
            print(f"{case:>12} {threads} worker(s): {full:8.0f} MB, input and output {base:8.0f} MB, own {full - base:6.0f} MB")


if __name__ == "__main__":
    main()
