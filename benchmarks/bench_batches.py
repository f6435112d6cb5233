#!/usr/bin/env python3
"""Many events in one call against a loop of single calls, and one worker against two.

    .venv/bin/python benchmarks/bench_batches.py [--rounds N] [--json PATH]

Three workloads, each in a process with a pool of one worker and one with two (RAYON_NUM_THREADS),
measured in turn, round after round, so that load from elsewhere on a shared machine falls on all
of them alike:

1. events: 256 events of 2,000 epochs each (t within 2 tE of t0), the quadratic law (0.5, 0.2),
   each event its own t0, u0 in [0, 0.5], tE and rho in [0.005, 0.5] (log-uniform): one
   `light_curve` call with parameters of shape (256, 1) against the loop of 256 single calls.
   Median of 3 of each per round, alternated.
2. walkers: 32 walkers of an ensemble sampler around one event (README's fit: 630 epochs, rho
   0.02, each parameter scattered by 0.1 %), one call against the loop of 32. Median of 15.
3. radii: `magnification` of 2,000 separations of one light curve (rho = 0.1, quadratic) with
   rho as an array of 2,000 equal radii against rho as a number. Median of 31.

Prints per workload and pool size the median milliseconds per call over the rounds (lowest and
highest round in brackets), and ratios computed round by round (median and range): batch over
loop, two workers over one, array over number. The load averages before and after are printed.
"""

import argparse
import json
import os
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from contender import Contender  # noqa: E402


def workloads():
    import numpy as np

    import mirvanta

    law = mirvanta.Quadratic(0.5, 0.2)
    rng = np.random.default_rng(11)
    n = 256
    tE = rng.uniform(10.0, 40.0, n)
    t0 = rng.uniform(-5.0, 5.0, n)
    u0 = rng.uniform(0.0, 0.5, n)
    rho = np.exp(rng.uniform(np.log(0.005), np.log(0.5), n))
    t = np.linspace(-1.0, 1.0, 2000)  # in units of each event's 2 tE, from its t0
    times = t0[:, None] + 2.0 * tE[:, None] * t  # (256, 2000): each event its own epochs
    events = (times, t0[:, None], u0[:, None], tE[:, None], rho[:, None])

    walker_t = np.concatenate([rng.uniform(7410, 7490, 600), np.linspace(7449.85, 7450.15, 30)])
    truth = np.array([7450.0, 0.005, 20.0, 0.02])
    walkers = truth * (1.0 + 1e-3 * rng.standard_normal((32, 4)))

    u = np.hypot(0.01, np.linspace(-0.3, 0.3, 2000))

    return {
        "events": (lambda: mirvanta.light_curve(*events, law),
                   lambda: [mirvanta.light_curve(times[i], t0[i], u0[i], tE[i], rho[i], law) for i in range(n)], 3),
        "walkers": (lambda: mirvanta.light_curve(walker_t, *(walkers[:, k, None] for k in range(4)), law),
                    lambda: [mirvanta.light_curve(walker_t, *walkers[i], law) for i in range(32)], 15),
        "radii": (lambda: mirvanta.magnification(u, np.full(2000, 0.1), law),
                  lambda: mirvanta.magnification(u, 0.1, law), 31),
    }


def serve():
    calls = workloads()
    for first, second, _ in calls.values():  # the pool and the caches warm
        first()
        second()
    for line in sys.stdin:
        first, second, count = calls[line.split()[0]]
        a, b = [], []
        for _ in range(count):
            start = time.perf_counter()
            first()
            middle = time.perf_counter()
            second()
            a.append(middle - start)
            b.append(time.perf_counter() - middle)
        print(json.dumps([statistics.median(a) * 1e3, statistics.median(b) * 1e3]), flush=True)


def summary(values):
    return f"{statistics.median(values):.3f} ({min(values):.3f}-{max(values):.3f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--json", help="write the rounds' figures to this file")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve()

    print("load averages before:", " ".join(f"{x:.2f}" for x in os.getloadavg()))
    names = {"events": ("one call", "loop of 256"), "walkers": ("one call", "loop of 32"),
             "radii": ("rho array", "rho number")}
    contenders = {threads: Contender(sys.executable, __file__, threads) for threads in (1, 2)}
    rounds = {(name, threads): [] for name in names for threads in contenders}
    try:
        for _ in range(args.rounds):
            for name in names:
                for threads, contender in contenders.items():
                    rounds[name, threads].append(contender.ask(name))
    finally:
        for contender in contenders.values():
            contender.close()
    print("load averages after: ", " ".join(f"{x:.2f}" for x in os.getloadavg()))
    for name, (first, second) in names.items():
        print(f"\n{name}, ms per call, median of {args.rounds} rounds (lowest-highest)")
        for threads in contenders:
            r = rounds[name, threads]
            print(f"  {threads} worker{'s' if threads > 1 else ' '}: {first} {summary([a for a, _ in r])}, "
                  f"{second} {summary([b for _, b in r])}, {first} / {second} {summary([a / b for a, b in r])}")
        one, two = rounds[name, 1], rounds[name, 2]
        print(f"  1 worker / 2 workers: {first} {summary([x[0] / y[0] for x, y in zip(one, two)])}, "
              f"{second} {summary([x[1] / y[1] for x, y in zip(one, two)])}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({f"{n} {t}": r for (n, t), r in rounds.items()}, indent=1))


if __name__ == "__main__":
    main()
