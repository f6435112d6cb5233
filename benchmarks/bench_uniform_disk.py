#!/usr/bin/env python3
"""Speed and memory of the uniform-disk functions.

    .venv/bin/python benchmarks/bench_uniform_disk.py [--json PATH] [--quick] [--rounds N] [--baseline PYTHON]
                                                      [--order sorted|shuffled]

Prints a table of nanoseconds per element for `witt_mao_magnification` and
`multi_witt_mao_magnification` at 10^2 to 10^6 separations, with one and two worker threads, for
input given as a list, a tuple and a NumPy array; next to it the bare kernel and the native batch
(benchmarks/kernel_timing.cpp, built here with CMake) and a vectorised NumPy/SciPy evaluation of
the same closed form. Then the targets: the speed-up of two workers, the share of the Python
boundary, the ratio to SciPy, and the peak memory beyond the input and output lists; and the
serial part of a call (the Python boundary on the calling thread) with the speed-up it leaves
possible on 8, 32 and 128 cores. Writes all numbers as JSON. Needs the module installed, NumPy
and SciPy.

The one-worker and two-worker processes and the native timing are measured in turn, round after
round, and the best of the rounds is kept, so that the load of a shared machine falls on all of
them alike. A row whose two fastest rounds differ by more than 5 % is noisy (the machine was busy
in all but one round at most): more rounds are run, up to as many again, and a figure derived
from a row that stays noisy, or that comes out impossible (a negative serial part, two workers
more than twice as fast as one), is reported as not measured, with the reason, instead of a
number. With --baseline PYTHON, the Python rows are measured under that interpreter too (another
build of the module, with NumPy), in the same rounds. --order shuffled gives every call (and the
native timing) the same separations in a fixed random order instead of ascending.
"""

import argparse
import json
import os
import pathlib
import random
import subprocess
import sys
import time

from contender import Contender
from noise import STEADY, gap_of_best_two

ROOT = pathlib.Path(__file__).resolve().parent.parent
SIZES = [10**2, 10**3, 10**4, 10**5, 10**6]
RHO = 0.1


ORDER = "sorted"


def separations(n):
    """Source radii 0..30 (0..3 Einstein radii at rho = 0.1): centre, limb and far field; in
    ascending order, or shuffled with a fixed seed (ORDER)."""
    values = [30.0 * i / n for i in range(n)]
    if ORDER == "shuffled":
        random.Random(12345).shuffle(values)
    return values


def best_seconds(call, minimum=0.2, rounds=5):
    """The fastest single call, over rounds that each last at least `minimum` seconds. A call's
    result is released only after its time is taken: freeing the output list is the caller's."""
    best = float("inf")
    for _ in range(rounds):
        spent = 0.0
        while spent < minimum:
            start = time.perf_counter()
            result = call()
            elapsed = time.perf_counter() - start
            del result
            spent += elapsed
            best = min(best, elapsed)
    return best


def measure(quick):
    """One round of the Python functions in this process (the pool size comes from the environment)."""
    import numpy
    import mirvanta

    results = []
    for n in SIZES[:-1] if quick else SIZES:
        values = separations(n)
        inputs = {"list": values, "tuple": tuple(values), "numpy": numpy.array(values)}
        for kind, data in inputs.items():
            seconds = best_seconds(lambda: mirvanta.witt_mao_magnification(data, 1.0, RHO), minimum=0.05, rounds=2)
            results.append({"function": "witt_mao_magnification", "input": kind, "n": n, "ns": seconds / n * 1e9})
        seconds = best_seconds(lambda: mirvanta.multi_witt_mao_magnification(values, [1.0, 2.0], [RHO, 2 * RHO]),
                               minimum=0.05, rounds=2)
        results.append({"function": "multi_witt_mao_magnification", "input": "list", "n": n,
                        "ns": seconds / (4 * n) * 1e9})
    return results


def serve():
    """Answers the parent's requests for a round of measurements, one JSON line each."""
    global ORDER
    for line in sys.stdin:
        words = line.split()
        ORDER = "shuffled" if "shuffled" in words else "sorted"
        print(json.dumps(measure("quick" in words)), flush=True)


class Rounds:
    """The contenders (an interpreter with one or two workers) and the native timing, measured in
    turn, round after round; every round's nanoseconds per element are kept per row."""

    def __init__(self, pythons, quick):
        self.quick = quick
        self.sizes = SIZES[:-1] if quick else SIZES
        self.contenders = {(python, threads): Contender(python, __file__, threads)
                           for python in pythons for threads in (1, 2)}
        self.native = build_native_timing()
        self.samples = {}  # (source, threads, function, input, n) -> [ns, ...]; source "native" or a python
        self.count = 0

    def run(self, rounds):
        for _ in range(rounds):
            for (python, threads), contender in self.contenders.items():
                for row in contender.ask(("quick" if self.quick else "full") + " " + ORDER):
                    self.add((python, threads, row["function"], row["input"], row["n"]), row["ns"])
            for n in self.sizes:
                for threads in (1, 2):
                    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
                    out = subprocess.run([str(self.native), str(n), str(RHO), "1", ORDER], env=env, check=True,
                                         capture_output=True, text=True)
                    row = json.loads(out.stdout)
                    for key in ("kernel_ns", "batch_ns", "grid_ns"):
                        self.add(("native", threads, key, None, n), row[key])
            self.count += 1

    def add(self, slot, ns):
        self.samples.setdefault(slot, []).append(ns)

    def best(self, slot):
        return min(self.samples[slot])

    def noisy(self, slots):
        """The slots whose two fastest rounds differ by more than STEADY."""
        return [slot for slot in slots if gap_of_best_two(self.samples[slot]) > STEADY]

    def close(self):
        for contender in self.contenders.values():
            contender.close()

    def rows(self, source, threads):
        """The best of the rounds for one contender, as rows of the JSON report."""
        return [{"function": function, "input": kind, "n": n, "ns": min(values),
                 "gap_of_best_two": gap_of_best_two(values)}
                for (s, t, function, kind, n), values in self.samples.items() if (s, t) == (source, threads)]


def peak_memory_worker(n):
    """Peak resident memory of one call beyond its input and output lists, in bytes per element."""
    import mirvanta

    def status(field):
        for line in open("/proc/self/status"):
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
        raise RuntimeError(f"no {field} in /proc/self/status")

    values = [float(x) for x in separations(n)]
    mirvanta.witt_mao_magnification(values[:1000], 1.0, RHO)  # the pool exists now
    with open("/proc/self/clear_refs", "w") as clear:  # restart the peak (VmHWM) from VmRSS
        clear.write("5")
    before = status("VmRSS")
    result = mirvanta.witt_mao_magnification(values, 1.0, RHO)
    peak = status("VmHWM")
    output_list = sys.getsizeof(result) + sum(sys.getsizeof(x) for x in result)
    print(json.dumps({"n": n, "peak_bytes_per_element": (peak - before - output_list) / n,
                      "output_list_bytes_per_element": output_list / n}))


def run_self(args, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, *args], env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def build_native_timing():
    """benchmarks/kernel_timing.cpp, built with CMake under build/bench; its path."""
    build = ROOT / "build" / "bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    "-DMIRVANTA_BUILD_BENCHMARKS=ON", "-DMIRVANTA_BUILD_PYTHON=OFF"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "kernel_timing"], check=True, capture_output=True)
    return build / "kernel_timing"


def scipy_peer(quick):
    """The same closed form, vectorised with NumPy and SciPy's elliptic integrals."""
    import numpy as np
    from scipy import special

    def magnification(u, rho):
        d, s, t = u - rho, u + rho, rho * rho
        n = u * (4 * rho) / (s * s)
        g = np.sqrt(d * d + 4)
        m = 4 * n / (g * g)
        pi_nm = special.elliprf(0, 1 - m, 1) + n / 3 * special.elliprj(0, 1 - m, 1, 1 - n)
        c_e = s * g / (2 * t)
        c_k = d * (4 + (u * u - t) / 2) / (t * g)
        c_p = (t + 1) * 2 * d * d / (t * s * g)
        with np.errstate(all="ignore"):
            general = (c_e * special.ellipe(m) - c_k * special.ellipk(m) + c_p * pi_nm) / np.pi
        limb = (2 / rho + (t + 1) / t * (np.arcsin((t - 1) / (t + 1)) + np.pi / 2)) / np.pi
        return np.where(np.abs(d) < max(1e-3 * rho, 1e-5), limb, general)

    rows = []
    for n in SIZES[:-1] if quick else SIZES:
        u = np.array(separations(n)) * RHO
        with np.errstate(all="ignore"):
            seconds = best_seconds(lambda: magnification(u, RHO))
            peer = magnification(u, RHO)
        rows.append({"n": n, "ns": seconds / n * 1e9, "values": peer})
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", default=str(ROOT / "build" / "bench" / "uniform_disk.json"))
    parser.add_argument("--quick", action="store_true", help="stop at 10^5 separations")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--baseline", help="another interpreter whose module is measured alongside")
    parser.add_argument("--order", choices=("sorted", "shuffled"), default="sorted",
                        help="the separations ascending (a light curve) or in a fixed random order")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--peak-memory", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve()
    if args.peak_memory:
        return peak_memory_worker(args.peak_memory)
    global ORDER
    ORDER = args.order

    import numpy as np
    import mirvanta

    pythons = [sys.executable] + ([args.baseline] if args.baseline else [])
    rounds = Rounds(pythons, args.quick)
    sizes = rounds.sizes
    me = sys.executable

    def list_row(threads, n, function="witt_mao_magnification", python=me):
        return (python, threads, function, "list", n)

    def native_row(threads, key, n):
        return ("native", threads, key, None, n)

    # The rows that the derived figures (speed-ups, shares, serial parts) are differences or
    # ratios of: they must be steady.
    derived_from = [list_row(t, n) for t in (1, 2) for n in sizes] + \
        [list_row(t, n, "multi_witt_mao_magnification") for t in (1, 2) for n in sizes if n >= 10**5] + \
        [native_row(t, "batch_ns", n) for t in (1, 2) for n in sizes]
    rounds.run(args.rounds)
    extra = 0
    while rounds.noisy(derived_from) and extra < args.rounds:
        rounds.run(1)
        extra += 1
    rounds.close()
    noisy = set(rounds.noisy(derived_from))

    peer = scipy_peer(args.quick)
    worst_peer_difference = max(
        float(np.nanmax(np.abs(np.array(mirvanta.witt_mao_magnification(separations(row["n"]), 1.0, RHO))
                               - row["values"]) / np.abs(row["values"]))) for row in peer)
    memory = run_self(["--peak-memory", "1000000"], 2)

    def python_ns(threads, function, kind, n):
        return rounds.best((me, threads, function, kind, n))

    def native_ns(threads, key, n):
        return rounds.best(native_row(threads, key, n))

    def mark(*slots):
        return "~" if noisy.intersection(slots) else " "

    print(f"Nanoseconds per element, uniform disk at rho = {RHO} (u from 0 to 3 Einstein radii, {ORDER}), best of "
          f"{rounds.count} rounds; ~ marks a noisy one (its two best rounds more than {STEADY:.0%} apart)\n")
    header = f"{'separations':>11} | {'kernel':>6} | {'native 1w':>9} {'native 2w':>9} | " \
             f"{'list 1w':>7} {'list 2w':>7} {'tuple 2w':>8} {'numpy 2w':>8} | {'grid 1w':>7} {'grid 2w':>7} | {'scipy':>6}"
    print(header)
    print("-" * len(header))
    for n in sizes:
        native_cells = " ".join(f"{native_ns(t, 'batch_ns', n):8.0f}{mark(native_row(t, 'batch_ns', n))}"
                                for t in (1, 2))
        list_cells = " ".join(f"{python_ns(t, 'witt_mao_magnification', 'list', n):6.0f}{mark(list_row(t, n))}"
                              for t in (1, 2))
        grid_cells = " ".join(f"{python_ns(t, 'multi_witt_mao_magnification', 'list', n):6.0f}"
                              f"{mark(list_row(t, n, 'multi_witt_mao_magnification'))}" for t in (1, 2))
        print(f"{n:>11,} | {native_ns(1, 'kernel_ns', n):6.0f} | {native_cells} | {list_cells} "
              f"{python_ns(2, 'witt_mao_magnification', 'tuple', n):8.0f} "
              f"{python_ns(2, 'witt_mao_magnification', 'numpy', n):8.0f} | {grid_cells} | "
              f"{next(r['ns'] for r in peer if r['n'] == n):6.0f}")

    # A figure is left out, with the reason, when a row it comes from is noisy or when it comes
    # out impossible.
    targets, left_out = {}, {}

    def derive(name, value, slots, possible):
        if noisy.intersection(slots):
            left_out[name] = "noisy rows"
        elif not possible(value):
            left_out[name] = f"impossible value {value:.3g}"
        else:
            targets[name] = value

    for n in [n for n in sizes if n >= 10**5]:
        for function, suffix in (("witt_mao_magnification", ""), ("multi_witt_mao_magnification", "grid_")):
            one, two = list_row(1, n, function), list_row(2, n, function)
            derive(f"speedup_two_workers_{suffix}{n}", rounds.best(one) / rounds.best(two), [one, two],
                   lambda x: 0 < x <= 2 * (1 + STEADY))
    total = python_ns(2, "witt_mao_magnification", "list", 10**5)
    derive("boundary_share_1e5_list", (total - native_ns(2, "batch_ns", 10**5)) / total,
           [list_row(2, 10**5), native_row(2, "batch_ns", 10**5)], lambda x: 0 <= x < 1)
    targets["faster_than_scipy_1e5"] = next(r["ns"] for r in peer if r["n"] == 10**5) / total
    targets["peak_bytes_per_element_1e6"] = memory["peak_bytes_per_element"]
    targets["worst_relative_difference_to_scipy"] = worst_peer_difference

    print("\nTargets (two workers unless stated)")
    for key, value in targets.items():
        print(f"  {key:<40} {value:10.3g}")
    for key, reason in left_out.items():
        print(f"  {key:<40} not measured: {reason}")

    # The serial part of a call is what the calling thread does alone: reading the input and
    # building the result list. It is the one-worker call less the native batch (the same
    # kernel loop without Python); Amdahl's law bounds the speed-up on N cores by it. It is a
    # difference of two rows a few percent apart, so noise in either can make it anything.
    print("\nSerial part of a call (one worker, from a list), and the speed-up it allows on N cores")
    serial = {}
    for n in [n for n in sizes if n >= 10**4]:
        total = python_ns(1, "witt_mao_magnification", "list", n)
        part = total - native_ns(1, "batch_ns", n)
        slots = [list_row(1, n), native_row(1, "batch_ns", n)]
        if noisy.intersection(slots) or not 0 < part < total:
            reason = "noisy rows" if noisy.intersection(slots) else "the call measured no slower than the native batch"
            serial[n] = {"serial_ns": None, "call_ns": total, "not_measured": reason}
            print(f"  {n:>9,}: not measured ({reason}: the call {total:.1f} ns per element, the native batch "
                  f"{native_ns(1, 'batch_ns', n):.1f} ns)")
            continue
        fraction = part / total
        allowed = {cores: 1 / (fraction + (1 - fraction) / cores) for cores in (2, 8, 32, 128)}
        serial[n] = {"serial_ns": part, "call_ns": total, "fraction": fraction, "speedup_allowed": allowed}
        print(f"  {n:>9,}: {part:5.1f} of {total:5.1f} ns per element ({fraction:.1%}); at most "
              + ", ".join(f"{s:.1f} x on {c}" for c, s in allowed.items()))

    if args.baseline:
        print(f"\nBaseline ({args.baseline}), list input, ns per element: one worker / two workers, speed-up")
        for n in sizes:
            one, two = (rounds.best(list_row(t, n, python=args.baseline)) for t in (1, 2))
            print(f"  {n:>9,}: {one:6.0f} / {two:6.0f}, {one / two:4.2f} x")

    if noisy:
        print(f"\nNoisy run: after {rounds.count} rounds the two best rounds of {len(noisy)} of the "
              f"{len(derived_from)} rows behind the derived figures are more than {STEADY:.0%} apart (the "
              "machine was busy); the figures from them are left out. Run it again on an idle machine.")

    for row in peer:
        del row["values"]
    report = {"python": {t: rounds.rows(me, t) for t in (1, 2)}, "native": {t: rounds.rows("native", t) for t in (1, 2)},
              "scipy": peer, "memory": memory, "targets": targets, "left_out": left_out, "serial": serial,
              "rounds": rounds.count, "noisy_rows": [list(map(str, slot)) for slot in sorted(noisy, key=str)],
              "cpus": len(os.sched_getaffinity(0))}
    if args.baseline:
        report["baseline"] = {t: rounds.rows(args.baseline, t) for t in (1, 2)}
    pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.json).write_text(json.dumps(report, indent=1))
    print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
