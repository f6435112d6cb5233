#!/usr/bin/env python3
"""How soon signal handlers run during long calls, and how soon Ctrl-C from another process stops them.

    .venv/bin/python benchmarks/bench_signal_latency.py [--part checks|ctrl-c|all] [--rounds N]
                                               [--threads 1,2] [--cases law,light_curve,list,point]
                                               [--scale F] [--late S] [--baseline PYTHON] [--json PATH]

A call keeps the interpreter lock on its calling thread, which runs the handlers of pending
signals (PyErr_CheckSignals) whenever it checks. Each part runs with each number of workers in
--threads (RAYON_NUM_THREADS), each measurement in a fresh process.

Part "checks", for a long `witt_mao_magnification` (2 million separations) and a long
`multi_witt_mao_magnification` (16 pairs of 100 000 separations), --rounds processes each:

1. Checks: a 1 ms interval timer (ITIMER_REAL) whose handler records the time it runs. Handler
   runs per second of the call, and the gaps between consecutive runs (median, 99th percentile,
   largest): the time between two checks of the calling thread (at most 4 ms is the goal), plus
   whatever the machine adds. Only the gaps within the middle 70 % of the call count.
2. Timer: a one-shot timer set to expire 40 % into the call (while the workers compute), whose
   handler raises KeyboardInterrupt as Python's own SIGINT handler does: the time from its expiry
   to the handler's run, and to the KeyboardInterrupt caught around the call. Median and largest
   over the rounds.

Part "ctrl-c": SIGINT sent by another process (kill(2), as a terminal sends Ctrl-C) at a random
moment of a large call, Python's own handler in place: the time from the kill to the
KeyboardInterrupt caught around the call, both read from CLOCK_MONOTONIC, which the processes
share. That includes whatever the call releases before it returns. Each of --rounds processes
per case sends 10 signals to 10 calls: 5 at a moment drawn from the call's first 50 ms (while it
converts its arguments and evaluates its first stretch), 5 from 50 ms to the end of the call
(estimated from a call on a hundredth of its data) or --late seconds, whichever comes first. The
cases (sizes times --scale):

    law          magnification(u, 0.05, Quadratic(0.5, 0.2)), u: 1e8 floats in [0, 0.1)
    light_curve  light_curve(t, 0, 0.01, 25, 0.05, Quadratic(0.5, 0.2)), t: 1e8 floats in [-50, 50)
    list         witt_mao_magnification(l, 1, 0.1), l: a list of 3e7 floats in [0, 3)
    point        point_source_magnification(u), u: 1e8 floats in [0, 3)

It prints the median and the largest latency over all signals and over those of the first 50 ms;
a call that ended before its signal is counted apart ("ended first") and left out.

Each round runs every contender (this interpreter, and --baseline's, another build of the module)
in a fresh process of its own, in turn, so that the load of a shared machine falls on all alike.
Run it idle and beside busy loops (`yes > /dev/null &`) to see the effect of load.
"""

import argparse
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import time

FUNCTIONS = ["witt_mao_magnification", "multi_witt_mao_magnification"]
CASES = ["law", "light_curve", "list", "point"]
EARLY = 0.05  # seconds: the first stretch of a call
SIGNALS_PER_PROCESS = 10

# Sends SIGINT to the process given as its argument at each CLOCK_MONOTONIC time read from its
# input, sleeping until a millisecond before and spinning the rest; writes when it sent it.
SENDER = """
import os, signal, sys, time
pid = int(sys.argv[1])
for line in sys.stdin:
    target = float(line)
    while (left := target - time.monotonic()) > 0:
        if left > 0.002:
            time.sleep(left - 0.001)
    sent = time.monotonic()
    os.kill(pid, signal.SIGINT)
    print(sent, flush=True)
"""


def arguments(name):
    if name == "witt_mao_magnification":
        return ([0.5 + 29.5 * i / 2_000_000 for i in range(2_000_000)], 1.0, 0.1)
    return ([0.5 + 29.5 * i / 100_000 for i in range(100_000)], [1.0, 1.5, 2.0, 3.0], [0.05, 0.1, 0.2, 0.3])


def measure_checks(name):
    """In the measuring process: one round of the checks and the timer for one function."""
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


def case_call(case, scale):
    """The function and arguments of a ctrl-c case, made before any clock starts."""
    import numpy as np

    import mirvanta as m

    rng = np.random.default_rng(1)
    law = m.Quadratic(0.5, 0.2)
    if case == "law":
        return m.magnification, (rng.random(int(1e8 * scale)) * 0.1, 0.05, law)
    if case == "light_curve":
        return m.light_curve, (rng.random(int(1e8 * scale)) * 100 - 50, 0.0, 0.01, 25.0, 0.05, law)
    if case == "list":
        return m.witt_mao_magnification, ((rng.random(int(3e7 * scale)) * 3).tolist(), 1.0, 0.1)
    return m.point_source_magnification, (rng.random(int(1e8 * scale)) * 3,)


def measure_ctrl_c(case, scale, late, seed):
    """In the measuring process: SIGNALS_PER_PROCESS calls of one case, each sent SIGINT."""
    function, args = case_call(case, scale)

    def first(count):  # the call on the first `count` separations or times
        return [args[0][:count], *args[1:]]

    function(*first(1000))  # the pool exists from here on
    # The call's duration, from a call on a hundredth of it; later signals come before its end.
    start = time.perf_counter()
    function(*first(len(args[0]) // 100))
    end = min(late, max(2 * EARLY, 0.9 * 100 * (time.perf_counter() - start)))
    rng = random.Random(seed)
    half = SIGNALS_PER_PROCESS // 2
    delays = [rng.uniform(0, EARLY) for _ in range(half)] + [rng.uniform(EARLY, end) for _ in range(half)]
    rng.shuffle(delays)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sender = subprocess.Popen([sys.executable, "-c", SENDER, str(os.getpid())], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    results = []
    for delay in delays:
        ended_first = False
        try:
            sender.stdin.write(f"{time.monotonic() + delay!r}\n")
            sender.stdin.flush()
            function(*args)
            ended_first = True
            # The signal arrives during these sleeps; short ones, since one that it reaches just
            # before its system call runs the handler only after it.
            for _ in range(int(100 * (late + 5))):
                time.sleep(0.01)
        except KeyboardInterrupt:
            caught = time.monotonic()
        sent = float(sender.stdout.readline())
        results.append({"delay": delay, "latency": caught - sent, "ended_first": ended_first})
    sender.stdin.close()
    sender.wait()
    return results


def summary_checks(rounds):
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


def summary_ctrl_c(signals):
    stopped = [s for s in signals if not s["ended_first"]]
    early = [1e3 * s["latency"] for s in stopped if s["delay"] < EARLY]
    every = [1e3 * s["latency"] for s in stopped]

    def figures(values):
        return (statistics.median(values), max(values)) if values else (float("nan"), float("nan"))

    median, worst = figures(every)
    early_median, early_worst = figures(early)
    return {"signals": len(stopped), "ended_first": len(signals) - len(stopped), "median_ms": median,
            "max_ms": worst, "early_median_ms": early_median, "early_max_ms": early_worst}


def run_child(python, threads, *arguments):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    output = subprocess.run([python, __file__, *arguments], env=env, capture_output=True, text=True, check=True,
                            timeout=1800).stdout
    return json.loads(output)


def part_checks(contenders, threads, options, results):
    rounds = {(label, name): [] for label in contenders for name in FUNCTIONS}
    for _ in range(options.rounds):
        for name in FUNCTIONS:
            for label, python in contenders.items():
                rounds[label, name].append(run_child(python, threads, "--measure-checks", name))
    for name in FUNCTIONS:
        print(f"  {name}:")
        for label in contenders:
            results[f"checks, {threads} workers, {label}: {name}"] = f = summary_checks(rounds[label, name])
            print(f"    {label:10}  checks: {f['checks_per_second']:.0f} per second; gap between two: median "
                  f"{f['gap_median_ms']:.2f} ms, 99th percentile {f['gap_p99_ms']:.2f} ms, largest "
                  f"{f['gap_max_ms']:.2f} ms")
            print(f"    {'':10}  timer to handler: median {f['handler_median_ms']:.2f} ms, largest "
                  f"{f['handler_max_ms']:.2f} ms; to KeyboardInterrupt caught: median "
                  f"{f['caught_median_ms']:.2f} ms, largest {f['caught_max_ms']:.2f} ms")


def part_ctrl_c(contenders, threads, options, results):
    signals = {(label, case): [] for label in contenders for case in options.cases}
    for round_ in range(options.rounds):
        for case in options.cases:
            for label, python in contenders.items():
                signals[label, case] += run_child(python, threads, "--measure-ctrl-c", case, "--scale",
                                                  str(options.scale), "--late", str(options.late),
                                                  "--seed", str(round_))
    for case in options.cases:
        for label in contenders:
            f = summary_ctrl_c(signals[label, case])
            results[f"ctrl-c, {threads} workers, {label}: {case}"] = dict(f, each=signals[label, case])
            print(f"  {case:12} {label:10}  SIGINT to KeyboardInterrupt: median {f['median_ms']:.1f} ms, largest "
                  f"{f['max_ms']:.1f} ms; sent in the first 50 ms: median {f['early_median_ms']:.1f} ms, largest "
                  f"{f['early_max_ms']:.1f} ms ({f['signals']} signals, {f['ended_first']} ended first)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--part", choices=["checks", "ctrl-c", "all"], default="all")
    parser.add_argument("--rounds", type=int, default=4, help="processes per function or case (default 4)")
    parser.add_argument("--threads", default="1,2", help="numbers of workers, comma-separated (default 1,2)")
    parser.add_argument("--cases", default=",".join(CASES), help="ctrl-c cases, comma-separated")
    parser.add_argument("--scale", type=float, default=1.0, help="ctrl-c: sizes times this (default 1)")
    parser.add_argument("--late", type=float, default=2.0, help="ctrl-c: latest signal, seconds (default 2)")
    parser.add_argument("--seed", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--baseline", help="another interpreter (with another build of the module)")
    parser.add_argument("--json", help="also write the figures to this file (with each signal's moment and latency)")
    parser.add_argument("--measure-checks", help=argparse.SUPPRESS)  # the measuring processes
    parser.add_argument("--measure-ctrl-c", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.measure_checks:
        print(json.dumps(measure_checks(options.measure_checks)))
        return
    if options.measure_ctrl_c:
        print(json.dumps(measure_ctrl_c(options.measure_ctrl_c, options.scale, options.late, options.seed)))
        return
    options.cases = options.cases.split(",")
    unknown = set(options.cases) - set(CASES)
    if unknown:
        parser.error(f"unknown cases {sorted(unknown)}; the cases are {', '.join(CASES)}")
    contenders = {"this build": sys.executable}
    if options.baseline:
        contenders["baseline"] = options.baseline
    results = {}
    print(f"{options.rounds} rounds, load average {os.getloadavg()[0]:.1f} at the start")
    for threads in (int(t) for t in options.threads.split(",")):
        if options.part in ("checks", "all"):
            print(f"checks, {threads} workers:")
            part_checks(contenders, threads, options, results)
        if options.part in ("ctrl-c", "all"):
            print(f"ctrl-c, {threads} workers (sizes times {options.scale:g}):")
            part_ctrl_c(contenders, threads, options, results)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")
    if options.json:
        with open(options.json, "w") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
