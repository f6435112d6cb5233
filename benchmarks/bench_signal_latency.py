#!/usr/bin/env python3
"""How soon signal handlers run during long calls on the worker pool.

    .venv/bin/python benchmarks/bench_signal_latency.py [--rounds N] [--threads N] [--baseline PYTHON]
                                               [--json PATH]

A call on the pool keeps the interpreter lock on its calling thread, which runs the handlers of
pending signals (PyErr_CheckSignals) whenever it checks. Two measurements, for a long
`witt_mao_magnification` (2 million separations) and a long `multi_witt_mao_magnification`
(16 pairs of 100 000 separations):

1. Checks: a 1 ms interval timer (ITIMER_REAL) whose handler records the time it runs. Handler
   runs per second of the call, and the gaps between consecutive runs (median, 99th percentile,
   largest): the time between two checks of the calling thread (at most 4 ms is the goal), plus
   whatever the machine adds. The call's own conversions of its arguments and of its result,
   which run no handlers, are left out: only the gaps within the middle 70 % of the call count.
2. Ctrl-C: a one-shot timer set to expire 40 % into the call (while the workers compute), whose
   handler raises KeyboardInterrupt as Python's own SIGINT handler does: the time from its expiry
   to the handler's run, and to the KeyboardInterrupt caught around the call (which includes
   releasing the part of the result list made so far). Median and largest over the rounds.

The signal comes from the kernel's timer, so no sending process's start-up is measured. Each
round runs every contender (this interpreter, and --baseline's, another build of the module) in
a fresh process of its own, in turn, so that the load of a shared machine falls on all alike.
Run it idle and beside busy loops (`yes > /dev/null &`) to see the effect of load.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time

FUNCTIONS = ["witt_mao_magnification", "multi_witt_mao_magnification"]


def arguments(name):
    if name == "witt_mao_magnification":
        return ([0.5 + 29.5 * i / 2_000_000 for i in range(2_000_000)], 1.0, 0.1)
    return ([0.5 + 29.5 * i / 100_000 for i in range(100_000)], [1.0, 1.5, 2.0, 3.0], [0.05, 0.1, 0.2, 0.3])


def measure(name):
    """In the measuring process: one round of both measurements for one function."""
    import mirvanta

    function = getattr(mirvanta, name)
    args = arguments(name)
    function(args[0][:1000], *args[1:])  # the pool exists from here on

    times = []

    def record(signum, frame):
        times.append(time.perf_counter())

    signal.signal(signal.SIGALRM, record)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    start = time.perf_counter()
    function(*args)
    end = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, 0)
    low, high = start + 0.15 * (end - start), end - 0.15 * (end - start)
    inside = [t for t in times if low <= t <= high]
    gaps = [b - a for a, b in zip(inside, inside[1:])]
    rate = (len(inside) - 1) / (inside[-1] - inside[0])
    delay = 0.4 * (end - start)

    ran = []

    def interrupt(signum, frame):
        ran.append(time.perf_counter())
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, interrupt)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        function(*args)
        handler = caught = float("nan")  # the call ended before the timer
    except KeyboardInterrupt:
        caught = time.perf_counter() - start - delay
        handler = ran[0] - start - delay
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    return {"gaps": gaps, "rate": rate, "handler": handler, "caught": caught}


def summary(rounds):
    gaps = sorted(g for r in rounds for g in r["gaps"])
    return {
        "checks_per_second": statistics.median(r["rate"] for r in rounds),
        "gap_median_ms": 1e3 * statistics.median(gaps),
        "gap_p99_ms": 1e3 * gaps[int(0.99 * (len(gaps) - 1))],
        "gap_max_ms": 1e3 * gaps[-1],
        "handler_median_ms": 1e3 * statistics.median(r["handler"] for r in rounds),
        "handler_max_ms": 1e3 * max(r["handler"] for r in rounds),
        "caught_median_ms": 1e3 * statistics.median(r["caught"] for r in rounds),
        "caught_max_ms": 1e3 * max(r["caught"] for r in rounds),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--baseline", help="another interpreter (with another build of the module)")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--measure", help=argparse.SUPPRESS)  # the measuring process
    options = parser.parse_args()
    if options.measure:
        print(json.dumps(measure(options.measure)))
        return
    contenders = {"this build": sys.executable}
    if options.baseline:
        contenders["baseline"] = options.baseline
    print(f"{options.threads} workers, {options.rounds} rounds, load average {os.getloadavg()[0]:.1f} at the start")
    env = dict(os.environ, RAYON_NUM_THREADS=str(options.threads))
    rounds = {(label, name): [] for label in contenders for name in FUNCTIONS}
    for _ in range(options.rounds):
        for name in FUNCTIONS:
            for label, python in contenders.items():
                output = subprocess.run([python, __file__, "--measure", name], env=env, capture_output=True,
                                        text=True, check=True, timeout=600).stdout
                rounds[label, name].append(json.loads(output))
    print(f"load average {os.getloadavg()[0]:.1f} at the end")
    results = {}
    for name in FUNCTIONS:
        print(f"{name}:")
        for label in contenders:
            results[f"{label}: {name}"] = f = summary(rounds[label, name])
            print(f"  {label:10}  checks: {f['checks_per_second']:.0f} per second; gap between two: median "
                  f"{f['gap_median_ms']:.2f} ms, 99th percentile {f['gap_p99_ms']:.2f} ms, largest "
                  f"{f['gap_max_ms']:.2f} ms")
            print(f"  {'':10}  timer to handler: median {f['handler_median_ms']:.2f} ms, largest "
                  f"{f['handler_max_ms']:.2f} ms; to KeyboardInterrupt caught: median "
                  f"{f['caught_median_ms']:.2f} ms, largest {f['caught_max_ms']:.2f} ms")
    if options.json:
        with open(options.json, "w") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
