#!/usr/bin/env python3
"""Speed and memory of the uniform-disk functions.

    python3 benchmarks/bench_uniform_disk.py [--json PATH] [--quick] [--rounds N] [--baseline PYTHON]

Prints a table of nanoseconds per element for `witt_mao_magnification` and
`multi_witt_mao_magnification` at 10^2 to 10^6 separations, with one and two worker threads, for
input given as a list, a tuple and a NumPy array; next to it the bare kernel and the native batch
(benchmarks/kernel_timing.cpp, built here with CMake) and a vectorised NumPy/SciPy evaluation of
the same closed form. Then the targets: the speed-up of two workers, the share of the Python
boundary, the ratio to SciPy, and the peak memory beyond the input and output lists; and the
serial part of a call (the Python boundary on the calling thread) with the speed-up it leaves
possible on 8, 32 and 128 cores. Writes all numbers as JSON. Needs the module installed, NumPy
and SciPy.

The one-worker and two-worker processes are measured in turn, round after round, and the best
of the rounds is kept, so that the load of a shared machine falls on both alike. With --baseline
PYTHON, the Python rows are measured under that interpreter too (another build of the module,
with NumPy), in the same rounds.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

from contender import Contender

ROOT = pathlib.Path(__file__).resolve().parent.parent
SIZES = [10**2, 10**3, 10**4, 10**5, 10**6]
RHO = 0.1


def separations(n):
    """Source radii 0..30 (0..3 Einstein radii at rho = 0.1): centre, limb and far field."""
    return [30.0 * i / n for i in range(n)]


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
    for line in sys.stdin:
        print(json.dumps(measure(line.split() == ["quick"])), flush=True)


def interleaved(pythons, quick, rounds):
    """The best time per row over `rounds` rounds, each round measuring every contender in turn."""
    contenders = {(python, threads): Contender(python, __file__, threads) for python in pythons for threads in (1, 2)}
    best = {}
    for _ in range(rounds):
        for key, contender in contenders.items():
            for row in contender.ask("quick" if quick else "full"):
                slot = (key, row["function"], row["input"], row["n"])
                best[slot] = min(best.get(slot, row), row, key=lambda r: r["ns"])
    for contender in contenders.values():
        contender.close()
    return {python: {threads: [row for (key, *_), row in best.items() if key == (python, threads)]
                     for threads in (1, 2)} for python in pythons}


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


def native_timing(quick):
    """The native kernel and batch with one and two workers, alternating between the two."""
    build = ROOT / "build" / "bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    "-DMIRVANTA_BUILD_BENCHMARKS=ON", "-DMIRVANTA_BUILD_PYTHON=OFF"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "kernel_timing"], check=True, capture_output=True)
    rows = {1: [], 2: []}
    for n in SIZES[:-1] if quick else SIZES:
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            out = subprocess.run([str(build / "kernel_timing"), str(n), str(RHO)], env=env, check=True,
                                 capture_output=True, text=True)
            rows[threads].append(json.loads(out.stdout))
    return rows


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
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--peak-memory", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve()
    if args.peak_memory:
        return peak_memory_worker(args.peak_memory)

    import numpy as np
    import mirvanta

    pythons = [sys.executable] + ([args.baseline] if args.baseline else [])
    measured = interleaved(pythons, args.quick, args.rounds)
    python = measured[sys.executable]
    native = native_timing(args.quick)
    peer = scipy_peer(args.quick)
    worst_peer_difference = max(
        float(np.nanmax(np.abs(np.array(mirvanta.witt_mao_magnification(separations(row["n"]), 1.0, RHO))
                               - row["values"]) / np.abs(row["values"]))) for row in peer)
    memory = run_self(["--peak-memory", "1000000"], 2)

    def python_ns(threads, function, kind, n):
        return next(r["ns"] for r in python[threads] if r["function"] == function and r["input"] == kind and r["n"] == n)

    def native_ns(threads, key, n):
        return next(r[key] for r in native[threads] if r["n"] == n)

    sizes = [row["n"] for row in peer]
    print(f"Nanoseconds per element, uniform disk at rho = {RHO} (u from 0 to 3 Einstein radii)\n")
    header = f"{'separations':>11} | {'kernel':>6} | {'native 1w':>9} {'native 2w':>9} | " \
             f"{'list 1w':>7} {'list 2w':>7} {'tuple 2w':>8} {'numpy 2w':>8} | {'grid 1w':>7} {'grid 2w':>7} | {'scipy':>6}"
    print(header)
    print("-" * len(header))
    for n in sizes:
        print(f"{n:>11,} | {native_ns(1, 'kernel_ns', n):6.0f} | {native_ns(1, 'batch_ns', n):9.0f} "
              f"{native_ns(2, 'batch_ns', n):9.0f} | {python_ns(1, 'witt_mao_magnification', 'list', n):7.0f} "
              f"{python_ns(2, 'witt_mao_magnification', 'list', n):7.0f} "
              f"{python_ns(2, 'witt_mao_magnification', 'tuple', n):8.0f} "
              f"{python_ns(2, 'witt_mao_magnification', 'numpy', n):8.0f} | "
              f"{python_ns(1, 'multi_witt_mao_magnification', 'list', n):7.0f} "
              f"{python_ns(2, 'multi_witt_mao_magnification', 'list', n):7.0f} | "
              f"{next(r['ns'] for r in peer if r['n'] == n):6.0f}")

    targets = {}
    for n in [n for n in sizes if n >= 10**5]:
        targets[f"speedup_two_workers_{n}"] = (python_ns(1, "witt_mao_magnification", "list", n)
                                              / python_ns(2, "witt_mao_magnification", "list", n))
        targets[f"speedup_two_workers_grid_{n}"] = (python_ns(1, "multi_witt_mao_magnification", "list", n)
                                                   / python_ns(2, "multi_witt_mao_magnification", "list", n))
    total = python_ns(2, "witt_mao_magnification", "list", 10**5)
    targets["boundary_share_1e5_list"] = (total - native_ns(2, "batch_ns", 10**5)) / total
    targets["faster_than_scipy_1e5"] = next(r["ns"] for r in peer if r["n"] == 10**5) / total
    targets["peak_bytes_per_element_1e6"] = memory["peak_bytes_per_element"]
    targets["worst_relative_difference_to_scipy"] = worst_peer_difference

    print("\nTargets (two workers unless stated)")
    for key, value in targets.items():
        print(f"  {key:<40} {value:10.3g}")

    # The serial part of a call is what the calling thread does alone: reading the input and
    # building the result list. It is the one-worker call less the native batch (the same
    # kernel loop without Python); Amdahl's law bounds the speed-up on N cores by it.
    print("\nSerial part of a call (one worker, from a list), and the speed-up it allows on N cores")
    serial = {}
    for n in [n for n in sizes if n >= 10**4]:
        total = python_ns(1, "witt_mao_magnification", "list", n)
        part = total - native_ns(1, "batch_ns", n)
        fraction = part / total
        allowed = {cores: 1 / (fraction + (1 - fraction) / cores) for cores in (2, 8, 32, 128)}
        serial[n] = {"serial_ns": part, "call_ns": total, "fraction": fraction, "speedup_allowed": allowed}
        print(f"  {n:>9,}: {part:5.1f} of {total:5.1f} ns per element ({fraction:.1%}); at most "
              + ", ".join(f"{s:.1f} x on {c}" for c, s in allowed.items()))

    if args.baseline:
        print(f"\nBaseline ({args.baseline}), list input, ns per element: one worker / two workers, speed-up")
        base = measured[args.baseline]
        for n in sizes:
            one, two = (next(r["ns"] for r in base[t] if r["function"] == "witt_mao_magnification"
                             and r["input"] == "list" and r["n"] == n) for t in (1, 2))
            print(f"  {n:>9,}: {one:6.0f} / {two:6.0f}, {one / two:4.2f} x")

    for row in peer:
        del row["values"]
    report = {"python": python, "native": native, "scipy": peer, "memory": memory, "targets": targets,
              "serial": serial, "cpus": len(os.sched_getaffinity(0))}
    if args.baseline:
        report["baseline"] = measured[args.baseline]
    pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.json).write_text(json.dumps(report, indent=1))
    print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
