#!/usr/bin/env python3
"""Calls of a light curve's size: two workers against one, after the pool idled, back to back, and
on a machine whose CPUs are all busy with other processes.

    .venv/bin/python benchmarks/bench_light_curve.py [--rounds N] [--baseline PYTHON] [--json PATH]
                                                     [--skip-busy] [--skip-quiet] [--skip-limb]

The separations of a light curve (a point lens passing a source of radius rho = 0.05 at impact
parameter 0.02, 1,000 to 2,000 epochs over four Einstein times): first the limb-darkened curve,
`integrated_witt_mao_magnification` over 2,000 epochs, calls back to back, the median of 3 per
round (--skip-limb leaves it out); then `witt_mao_magnification` in three situations:

1. After idle: each call follows a pause of 20 ms, long enough for every worker to have gone to
   sleep, and is timed alone. Median of 40 calls per round.
2. Back to back: calls in a loop, as a fit makes them; the mean per call over 200 calls, after 5
   that are not timed.
3. Busy machine: two busy loops (other processes, one per CPU of this machine) run while calls of
   2,000 separations are made with a pause of 2 ms between them; the 50th, 90th and 99th
   percentiles of all calls of all rounds.

Each pool size (RAYON_NUM_THREADS = 1 and 2, and the default pool in the busy case) runs in a
process of its own; the processes are measured in turn, round after round, so that what the
machine's other work does falls on all of them alike. The table gives the median over the rounds
and, in brackets, the lowest and highest round, then the ratio of one worker's time to two
workers' (above 1: two are faster), round by round, median and range. With --baseline PYTHON the
same runs under another build of the module, in the same rounds.
"""

import argparse
import json
import math
import os
import pathlib
import statistics
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from contender import Contender  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
RHO = 0.05
SIZES = [1000, 1500, 2000]
BUSY_SIZE = 2000
LIMB_SIZE = 2000


def light_curve(n, u0=0.02, span=4.0):
    """Lens-source separations in source radii at n epochs spread over `span` Einstein times."""
    return [math.hypot(u0, span * (i / (n - 1) - 0.5)) / RHO for i in range(n)]


def serve():
    import mirvanta

    function = mirvanta.witt_mao_magnification
    limb = mirvanta.integrated_witt_mao_magnification
    curves = {n: light_curve(n) for n in SIZES + [BUSY_SIZE]}
    function(curves[2000], 1.0, RHO)  # the pool exists from here on
    for line in sys.stdin:
        request = line.split()
        answer = {}
        if request[0] == "quiet":
            for n in SIZES:
                l = curves[n]
                idle = []
                for _ in range(40):
                    time.sleep(0.02)
                    start = time.perf_counter()
                    function(l, 1.0, RHO)
                    idle.append(time.perf_counter() - start)
                for _ in range(5):
                    function(l, 1.0, RHO)
                start = time.perf_counter()
                for _ in range(200):
                    function(l, 1.0, RHO)
                answer[n] = {"idle_us": statistics.median(idle) * 1e6,
                             "back_to_back_us": (time.perf_counter() - start) / 200 * 1e6}
        elif request[0] == "limb":  # "limb COUNT": the limb-darkened curve, calls back to back
            l = curves[LIMB_SIZE]
            limb(l, 1.0, RHO)
            answer = []
            for _ in range(int(request[1])):
                before = thread_cpu_ms()
                start = time.perf_counter()
                limb(l, 1.0, RHO)
                wall = (time.perf_counter() - start) * 1e3
                after = thread_cpu_ms()
                spent = [after[t] - before.get(t, 0.0) for t in after]
                answer.append([wall, max(spent), sum(spent)])
        else:  # "busy COUNT": single calls, each timed, 2 ms apart
            l = curves[BUSY_SIZE]
            times = []
            for _ in range(int(request[1])):
                time.sleep(0.002)
                start = time.perf_counter()
                function(l, 1.0, RHO)
                times.append((time.perf_counter() - start) * 1e6)
            answer = times
        print(json.dumps(answer), flush=True)


def thread_cpu_ms():
    """The time each thread of this process has run on a CPU (Linux), in milliseconds."""
    times = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as stat:
                times[tid] = int(stat.read().split()[0]) / 1e6
        except OSError:  # a thread that ended meanwhile
            pass
    return times


def summary(values):
    return statistics.median(values), min(values), max(values)


def cell(values, digits=0):
    median, low, high = summary(values)
    return f"{median:.{digits}f} ({low:.{digits}f}-{high:.{digits}f})"


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(q / 100 * len(ordered)) - 1))]


def busy_loops(count):
    """Processes that keep a CPU busy each, started here and ended by main()."""
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--baseline", help="another interpreter whose module is measured alongside")
    parser.add_argument("--json", default=str(ROOT / "build" / "bench" / "light_curve.json"))
    parser.add_argument("--skip-busy", action="store_true")
    parser.add_argument("--skip-quiet", action="store_true")
    parser.add_argument("--skip-limb", action="store_true")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve()

    builds = [("now", sys.executable)] + ([("before", args.baseline)] if args.baseline else [])
    report = {"cpus": len(os.sched_getaffinity(0)), "load_before": os.getloadavg()}
    print(f"{report['cpus']} CPUs; load average at the start {report['load_before'][0]:.2f}\n")

    if not args.skip_quiet:
        contenders = {(name, threads): Contender(python, __file__, threads)
                      for name, python in builds for threads in (1, 2)}
        rounds = {key: [] for key in contenders}
        for _ in range(args.rounds):
            for key, contender in contenders.items():
                rounds[key].append(contender.ask("quiet"))
        for contender in contenders.values():
            contender.close()
        report["quiet"] = {}
        print(f"witt_mao_magnification over a light curve, microseconds per call: median of {args.rounds} "
              "interleaved rounds (lowest-highest round); 1w/2w round by round (above 1: two workers faster)")
        for mode, key in (("after idle (20 ms pause)", "idle_us"), ("back to back", "back_to_back_us")):
            print(f"\n  {mode}")
            print(f"  {'epochs':>6} | " + " | ".join(f"{name + ' 1w':>22} {name + ' 2w':>22} {'1w/2w':>18}"
                                                     for name, _ in builds))
            for n in SIZES:
                cells = []
                for name, _ in builds:
                    one = [r[str(n)][key] for r in rounds[(name, 1)]]
                    two = [r[str(n)][key] for r in rounds[(name, 2)]]
                    ratios = [a / b for a, b in zip(one, two)]
                    report["quiet"][f"{name} {key} {n}"] = {"one": one, "two": two, "ratios": ratios}
                    cells.append(f"{cell(one):>22} {cell(two):>22} {cell(ratios, 2):>18}")
                print(f"  {n:>6} | " + " | ".join(cells))
        report["load_after_quiet"] = os.getloadavg()
        print(f"\nload average after: {report['load_after_quiet'][0]:.2f}")

    if not args.skip_limb:
        contenders = {(name, threads): Contender(python, __file__, threads)
                      for name, python in builds for threads in (1, 2)}
        times = {key: [] for key in contenders}  # per round: wall, busiest thread's CPU, all threads' CPU
        for _ in range(args.rounds):
            for key, contender in contenders.items():
                calls = contender.ask("limb 3")
                times[key].append([statistics.median(call[i] for call in calls) for i in range(3)])
        for contender in contenders.values():
            contender.close()
        report["limb"] = {}
        print(f"\nintegrated_witt_mao_magnification over a light curve of {LIMB_SIZE} epochs, milliseconds per "
              f"call (median of 3 back-to-back calls per round): median of {args.rounds} interleaved rounds "
              "(lowest-highest round). On a loaded machine the wall clock shows the other processes; the CPU "
              "time of the busiest thread is what the call's own work costs the critical path (all threads' "
              "CPU time in brackets after it)")
        for name, _ in builds:
            one, two = times[(name, 1)], times[(name, 2)]
            wall = [a[0] / b[0] for a, b in zip(one, two)]
            cpu = [a[2] / b[1] for a, b in zip(one, two)]  # one worker's whole CPU time / two's critical path
            report["limb"][name] = {"one": one, "two": two, "wall_ratios": wall, "cpu_ratios": cpu}
            for threads, rows in ((1, one), (2, two)):
                print(f"  {name:>6}, {threads} worker{'s' if threads > 1 else ' '}: wall {cell([r[0] for r in rows], 1)}, "
                      f"busiest thread's CPU {cell([r[1] for r in rows], 1)} [all {cell([r[2] for r in rows], 1)}]")
            print(f"  {name:>6}, 1w/2w: wall {cell(wall, 2)}; one worker's CPU / two workers' busiest thread "
                  f"{cell(cpu, 2)}")
        times = {key: [r[0] for r in rows] for key, rows in times.items()}
        if args.baseline:
            for threads in (1, 2):
                ratios = [b / a for a, b in zip(times[("now", threads)], times[("before", threads)])]
                report["limb"][f"before/now {threads}w"] = ratios
                print(f"  before/now, {threads} worker{'s' if threads > 1 else ''}: {cell(ratios, 2)}")
        report["load_after_limb"] = os.getloadavg()
        print(f"load average after: {report['load_after_limb'][0]:.2f}")

    if not args.skip_busy:
        loops = busy_loops(report["cpus"])
        try:
            time.sleep(1.0)
            contenders = {}
            for name, python in builds:
                contenders[(name, "1w")] = Contender(python, __file__, 1)
                contenders[(name, "default")] = Contender(python, __file__, 0)  # 0: the default size
            times = {key: [] for key in contenders}
            for _ in range(args.rounds):
                for key, contender in contenders.items():
                    times[key] += contender.ask("busy 50")
            for contender in contenders.values():
                contender.close()
            report["load_busy"] = os.getloadavg()
        finally:
            for loop in loops:
                loop.kill()
                loop.wait()
        report["busy"] = {}
        print(f"\nBusy machine ({len(loops)} busy loops, load average {report['load_busy'][0]:.2f}): "
              f"{BUSY_SIZE} separations, microseconds per call over {args.rounds} x 50 calls")
        print(f"  {'pool':>12} {'p50':>8} {'p90':>8} {'p99':>8}")
        for (name, pool), values in times.items():
            p = {q: percentile(values, q) for q in (50, 90, 99)}
            report["busy"][f"{name} {pool}"] = {"p50": p[50], "p90": p[90], "p99": p[99], "calls": values}
            print(f"  {name + ' ' + pool:>12} {p[50]:8.0f} {p[90]:8.0f} {p[99]:8.0f}")
        for name, _ in builds:
            ratio = report["busy"][f"{name} default"]["p90"] / report["busy"][f"{name} 1w"]["p90"]
            report["busy"][f"{name} p90 default/1w"] = ratio
            print(f"  {name}: p90 of the default pool / p90 of one worker = {ratio:.2f}")

    pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.json).write_text(json.dumps(report, indent=1))
    print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
