#!/usr/bin/env python3
"""The uniform disk per separation against a peer's tabulated call, on the same machine.

    .venv/bin/python benchmarks/bench_espl_peer.py --peer PEER_PYTHON [--rounds N] [--n N] [--json PATH]

PEER_PYTHON is an interpreter of a separate virtual environment with VBMicrolensing (and NumPy)
installed, e.g. `python3 -m venv /tmp/peer && /tmp/peer/bin/pip install VBMicrolensing numpy`;
it is never a dependency of this project. Its fastest per-separation call of the extended-source
point lens is ESPLMag2(u, rho), which looks u up in the table it loads when imported (ESPL.tbl,
shipped with it) after checking whether the point-source value is close enough; ESPLMag is the
same table without that check; both are measured, called over the separations by map(), the
cheapest way to call a function per item from Python. The module is measured by one call of
witt_mao_magnification over the same separations (in source radii), and by one call of
magnification over them as a NumPy array in Einstein radii (where NumPy is installed), with one
worker.

Separations: n points spread over 0 to 3 Einstein radii (0 to 30 source radii at rho = 0.1), in
ascending order ("sorted", as a light curve sorted by time) and in a fixed random order
("shuffled", as a population study, a grid search or an MCMC over many events hands them over).
The two interpreters run in processes of their own, measured in turn, round after round, so that
the load of a shared machine falls on both alike; each round's figure is the best of a few calls,
and the table gives the median over the rounds (and their range), in nanoseconds per separation.
"""

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
RHO = 0.1


def separations(n, order):
    """Source radii 0..30 (0..3 Einstein radii at rho = 0.1), sorted or in a fixed random order."""
    values = [30.0 * i / n for i in range(n)]
    if order == "shuffled":
        random.Random(12345).shuffle(values)
    return values


def best_seconds(call, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        elapsed = time.perf_counter() - start
        del result
        best = min(best, elapsed)
    return best


def measure(side, n):
    """One round of this side's calls in this process: ns per separation by name and order."""
    out = {}
    for order in ("sorted", "shuffled"):
        l = separations(n, order)
        if side == "peer":
            import itertools
            import VBMicrolensing

            lens = VBMicrolensing.VBMicrolensing()
            u = [x * RHO for x in l]
            for name in ("ESPLMag2", "ESPLMag"):
                function = getattr(lens, name)
                seconds = best_seconds(lambda: list(map(function, u, itertools.repeat(RHO))))
                out[f"{name} {order}"] = seconds / n * 1e9
        else:
            import mirvanta

            seconds = best_seconds(lambda: mirvanta.witt_mao_magnification(l, 1.0, RHO))
            out[f"mirvanta {order}"] = seconds / n * 1e9
            try:  # the surface in Einstein radii, NumPy in and out
                import numpy
            except ImportError:
                continue
            u = numpy.array(l) * RHO
            seconds = best_seconds(lambda: mirvanta.magnification(u, RHO))
            out[f"magnification {order}"] = seconds / n * 1e9
    return out


def serve(side, n):
    for _ in sys.stdin:
        print(json.dumps(measure(side, n)), flush=True)


def values_agree(peer_python, n):
    """The largest relative difference between the two on the sorted separations (a sanity check
    that both compute the same thing; the peer's table interpolates)."""
    code = ("import json, VBMicrolensing; v = VBMicrolensing.VBMicrolensing(); "
            f"print(json.dumps([v.ESPLMag2(30.0 * i / {n} * {RHO}, {RHO}) for i in range({n})]))")
    peer = json.loads(subprocess.run([peer_python, "-c", code], check=True, capture_output=True, text=True).stdout)
    import mirvanta

    ours = mirvanta.witt_mao_magnification(separations(n, "sorted"), 1.0, RHO)
    return max(abs(a - b) / abs(b) for a, b in zip(peer, ours) if b == b and b != 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--peer", help="the interpreter with VBMicrolensing installed")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--json", default=str(ROOT / "build" / "bench" / "espl_peer.json"))
    parser.add_argument("--serve", choices=("peer", "module"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve, args.n)
    if not args.peer:
        parser.error("--peer PYTHON is required")

    env = dict(os.environ, RAYON_NUM_THREADS="1")
    sides = {side: subprocess.Popen([python, __file__, "--serve", side, "--n", str(args.n)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True, env=env)
             for side, python in (("peer", args.peer), ("module", sys.executable))}
    samples = {}
    for round_ in range(args.rounds + 1):  # the first round warms up
        for side in (("peer", "module") if round_ % 2 == 0 else ("module", "peer")):
            process = sides[side]
            process.stdin.write("round\n")
            process.stdin.flush()
            row = json.loads(process.stdout.readline())
            if round_ > 0:
                for key, ns in row.items():
                    samples.setdefault(key, []).append(ns)
    for process in sides.values():
        process.stdin.close()
        process.wait()

    medians = {key: statistics.median(values) for key, values in samples.items()}
    print(f"{args.n} separations, rho = {RHO}, one worker, {args.rounds} rounds; ns per separation, "
          "median (range)")
    for key, values in samples.items():
        print(f"  {key:<22} {medians[key]:7.1f}  ({min(values):.1f} .. {max(values):.1f})")
    peer_fastest = {order: min(medians[f"{name} {order}"] for name in ("ESPLMag2", "ESPLMag"))
                    for order in ("sorted", "shuffled")}
    # The same ratios round by round: each round's module figure over the peer's of that round.
    ratios = {}
    for order in ("sorted", "shuffled"):
        per_round = [m / min(a, b) for m, a, b in zip(samples[f"mirvanta {order}"], samples[f"ESPLMag2 {order}"],
                                                      samples[f"ESPLMag {order}"])]
        ratios[order] = {"median": statistics.median(per_round), "min": min(per_round), "max": max(per_round)}
    shuffled_over_sorted = [a / b for a, b in zip(samples["mirvanta shuffled"], samples["mirvanta sorted"])]
    print("module over the peer's fastest call, round by round, median (range):")
    for order, r in ratios.items():
        print(f"  {order:<8} {r['median']:.3f}  ({r['min']:.3f} .. {r['max']:.3f})")
    print(f"module shuffled over sorted: {statistics.median(shuffled_over_sorted):.3f} "
          f"({min(shuffled_over_sorted):.3f} .. {max(shuffled_over_sorted):.3f})")
    worst = values_agree(args.peer, 3000)
    print(f"largest relative difference between the two (3000 sorted separations): {worst:.2e}")
    report = {"n": args.n, "rho": RHO, "rounds": args.rounds, "samples": samples, "medians": medians,
              "peer_fastest": peer_fastest, "ratio_to_peer": ratios,
              "shuffled_over_sorted": statistics.median(shuffled_over_sorted), "largest_difference": worst}
    pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.json).write_text(json.dumps(report, indent=1))
    print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
