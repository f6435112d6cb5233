#!/usr/bin/env python3
"""Cost of short calls, and the CPU time the worker pool burns around them.

    .venv/bin/python benchmarks/bench_small_calls.py [--json PATH] [--rounds N] [--baseline PYTHON]

1. Microseconds per call of `witt_mao_magnification` with 1, 16, 100 and 1000 separations, with
   one worker and with two. Each configuration runs in a process of its own; the processes are
   measured in turn, round after round, so that the load of a shared machine falls on all of
   them alike. The median over the rounds is reported, and the ratio of two workers to one.
2. CPU time of the whole process (callers and workers) per call, next to the wall time, with 8
   and 32 workers (more than this machine's cores: the workers share them, which is fine for CPU
   time), for maps of 100 to 10 000 separations.

With --baseline PYTHON, every configuration also runs under that interpreter (another build of
the module, e.g. the previous commit's), in the same rounds.

A row whose rounds spread by more than 10 % (the middle half of them, relative to the median) is
noisy: the machine was busy. More rounds are run, up to as many again; a row that stays noisy is
marked with ~, a ratio or CPU time from it is left out, and so is a CPU time above what the
process's CPUs can give in the wall time measured.
"""

import argparse
import json
import os
import pathlib
import statistics
import sys
import time

from contender import Contender
from noise import quartile_spread

ROOT = pathlib.Path(__file__).resolve().parent.parent
RHO = 0.1
CALL_SIZES = [1, 16, 100, 1000]
CPU_SIZES = [100, 1000, 10000]
CPU_POOLS = [8, 32]
SPREAD = 0.10  # the largest quartile spread of a steady row


def separations(n):
    """Source radii spread over 0.5 to 30 (the general form of the kernel, as most calls take)."""
    return [0.5 + 29.5 * (i + 0.5) / n for i in range(n)]


def serve():
    """Answers the parent's requests, one JSON line each: 'calls' or 'cpu'."""
    import mirvanta

    function = mirvanta.witt_mao_magnification
    inputs = {n: separations(n) for n in sorted(set(CALL_SIZES + CPU_SIZES))}
    function(inputs[1000], 1.0, RHO)  # the pool exists from here on
    for line in sys.stdin:
        request = line.split()
        if request[0] == "calls":
            answer = {}
            for n in CALL_SIZES:
                l = inputs[n]
                repeats = max(50, 20000 // n)
                for _ in range(5):  # the steady state of calls that follow each other
                    function(l, 1.0, RHO)
                start = time.perf_counter()
                for _ in range(repeats):
                    function(l, 1.0, RHO)
                answer[n] = (time.perf_counter() - start) / repeats * 1e6
        else:
            answer = {}
            for n in CPU_SIZES:
                l = inputs[n]
                repeats = max(50, 200000 // n)
                for _ in range(5):
                    function(l, 1.0, RHO)
                cpu, wall = time.process_time(), time.perf_counter()
                for _ in range(repeats):
                    function(l, 1.0, RHO)
                answer[n] = {"cpu_us": (time.process_time() - cpu) / repeats * 1e6,
                             "wall_us": (time.perf_counter() - wall) / repeats * 1e6}
        print(json.dumps(answer), flush=True)


def round_robin(contenders, request, rounds, steady):
    """Asks every contender in turn, `rounds` times, then once more per round, up to `rounds` more,
    while steady(answers) is false."""
    answers = {c.label: [] for c in contenders}
    for count in range(2 * rounds):
        if count >= rounds and steady(answers):
            break
        for contender in contenders:
            answers[contender.label].append(contender.ask(request))
    return answers


def noisy_rows(answers, value):
    """The (label, size) rows whose rounds spread by more than SPREAD; value(answer, size) picks the
    figure of one round."""
    return {(label, n) for label, rounds in answers.items() for n in rounds[0]
            if quartile_spread([value(answer, n) for answer in rounds]) > SPREAD}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", default=str(ROOT / "build" / "bench" / "small_calls.json"))
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--baseline", help="another interpreter whose module is measured alongside")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve()

    builds = [("", sys.executable)] + ([("baseline ", args.baseline)] if args.baseline else [])
    report = {"cpus": len(os.sched_getaffinity(0)), "calls": {}, "cpu": {}}

    contenders = [Contender(python, __file__, threads, f"{name}{threads}w") for name, python in builds for threads in (1, 2)]
    per_call = lambda answer, n: answer[n]  # noqa: E731
    answers = round_robin(contenders, "calls", args.rounds, lambda a: not noisy_rows(a, per_call))
    for c in contenders:
        c.close()
    noisy = noisy_rows(answers, per_call)
    rounds = len(answers[contenders[0].label])
    print(f"Microseconds per call of witt_mao_magnification, median of {rounds} interleaved rounds "
          f"(~: noisy, the rounds spread by more than {SPREAD:.0%})\n")
    print(f"{'separations':>11} | " + " | ".join(f"{name + '1w':>12} {name + '2w':>12} {'2w/1w':>6}"
                                                 for name, _ in builds))
    for n in CALL_SIZES:
        cells = []
        for name, _ in builds:
            one, two = (statistics.median(a[str(n)] for a in answers[f"{name}{t}w"]) for t in (1, 2))
            marks = ["~" if (f"{name}{t}w", str(n)) in noisy else " " for t in (1, 2)]
            steady = marks == [" ", " "]
            report["calls"][f"{name}{n}"] = {"one_worker_us": one, "two_workers_us": two,
                                             "ratio": two / one if steady else None, "noisy": not steady}
            cells.append(f"{one:11.3f}{marks[0]} {two:11.3f}{marks[1]} " + (f"{two / one:6.2f}" if steady else f"{'-':>6}"))
        print(f"{n:>11} | " + " | ".join(cells))

    contenders = [Contender(python, __file__, threads, f"{name}{threads}w") for name, python in builds for threads in CPU_POOLS]
    cpu_time = lambda answer, n: answer[n]["cpu_us"]  # noqa: E731
    answers = round_robin(contenders, "cpu", max(4, args.rounds // 3), lambda a: not noisy_rows(a, cpu_time))
    for c in contenders:
        c.close()
    noisy |= noisy_rows(answers, cpu_time)
    print("\nCPU time and wall time per call (microseconds, median of the rounds), whole process")
    print(f"{'workers':>12} {'separations':>11} {'CPU':>9} {'wall':>9}")
    for c in contenders:
        for n in CPU_SIZES:
            cpu = statistics.median(a[str(n)]["cpu_us"] for a in answers[c.label])
            wall = statistics.median(a[str(n)]["wall_us"] for a in answers[c.label])
            if (c.label, str(n)) in noisy or cpu > wall * report["cpus"] * (1 + SPREAD):
                why = "noisy" if (c.label, str(n)) in noisy else f"impossible, {cpu:.1f} of CPU"
                report["cpu"][f"{c.label}_{n}"] = {"cpu_us": None, "wall_us": wall, "not_measured": why}
                print(f"{c.label:>12} {n:>11} {'-':>9} {wall:9.1f}  not measured: {why}")
                continue
            report["cpu"][f"{c.label}_{n}"] = {"cpu_us": cpu, "wall_us": wall}
            print(f"{c.label:>12} {n:>11} {cpu:9.1f} {wall:9.1f}")

    if noisy:
        print(f"\nNoisy run: {len(noisy)} rows spread by more than {SPREAD:.0%} over their rounds (the machine "
              "was busy); the figures from them are left out. Run it again on an idle machine.")
    report["noisy_rows"] = sorted(f"{label} {n}" for label, n in noisy)
    pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.json).write_text(json.dumps(report, indent=1))
    print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
