"""Light curves of a population of microlensing events, computed on a dask.distributed cluster.

Each event draws an impact parameter u0, an Einstein time tE, a source radius rho and a source
type: a uniform disk or a limb-darkened disk (linear law, c = 0.6). The light curves are computed
in chunks of events on the cluster's worker processes, with a progress bar: a chunk is one
`mirvanta.light_curve` call per source type, the events' parameters as columns of shape
(events, 1) against the epochs, which the worker's module pool computes as events in parallel.
They come back identical, bit for bit, to each event computed alone by a call of its own in this
process (--check compares them). A figure shows what was computed.

    .venv/bin/python -m pip install ".[examples]"
    .venv/bin/python examples/light_curve_population.py [--events 1000] [--check] [output]
    .venv/bin/python examples/light_curve_population.py --scheduler tcp://HOST:8786

Without --scheduler it starts a LocalCluster of one worker process per usable CPU. The module
holds the interpreter lock for a whole call, so a worker gains nothing from more than one thread
of its own; its parallel functions use the module's worker pool instead. That pool is sized once
per process from RAYON_NUM_THREADS, so each worker process gets a pool of (CPUs on its host) /
(worker processes on that host) threads, and processes times pool threads fits the cores. On a
running cluster, the workers keep a RAYON_NUM_THREADS of their own environment; otherwise the
example sets it, which counts in every worker that has not used the pool yet.

Writes population.png (200 dpi) into the working directory, or to the path given.
"""

import argparse
import collections
import math
import os
import random
import socket
import sys
import time
from typing import NamedTuple

import numpy as np

import mirvanta

# Observation times in days from the peak, every 0.03 d over 6 days; the peak itself is sampled.
TIMES = [(i - 100) * 0.03 for i in range(201)]
LAW = mirvanta.Linear(0.6)


class Event(NamedTuple):
    u0: float             # impact parameter, Einstein radii
    t_e: float            # Einstein time, days
    rho: float            # source radius, Einstein radii
    limb_darkened: bool   # linear limb darkening (coefficient 0.6) or a uniform disk


def draw_population(count, seed=1):
    """`count` events from a seeded generator: the same population for the same seed."""
    rng = random.Random(seed)
    return [Event(u0=rng.uniform(0.0, 0.1),
                  t_e=math.exp(rng.gauss(math.log(20.0), 0.5)),
                  rho=math.exp(rng.uniform(math.log(0.005), math.log(0.05))),
                  limb_darkened=rng.random() < 0.5)
            for _ in range(count)]


def light_curve(event, times=TIMES):
    """Magnification of one event at each time (days from the peak), as an array: a call of its own."""
    return mirvanta.light_curve(times, 0.0, event.u0, event.t_e, event.rho, LAW if event.limb_darkened else None)


def light_curves(events, times=TIMES):
    """One task: the light curves of a chunk of events, a row each, in the order of `events`; one
    call per source type. dask cannot hand a BaseException to the caller, who would wait for
    ever, so an internal failure of the module comes back as a RuntimeError with the same message."""
    curves = np.empty((len(events), len(times)))
    try:
        for limb_darkened in (False, True):
            rows = [k for k, event in enumerate(events) if event.limb_darkened == limb_darkened]
            if not rows:
                continue
            u0, t_e, rho = (np.array([[getattr(events[k], name)] for k in rows]) for name in ("u0", "t_e", "rho"))
            curves[rows] = mirvanta.light_curve(times, 0.0, u0, t_e, rho, LAW if limb_darkened else None)
    except mirvanta.PanicException as panic:
        raise RuntimeError(*panic.args) from None
    return list(curves)


def compute_distributed(client, events, chunk=100, show_progress=True, timeout=None):
    """The light curves of `events` on the cluster behind `client`, in the order of `events`;
    `timeout` seconds at most (None: no limit)."""
    from distributed import progress, wait

    futures = client.map(light_curves, [events[i:i + chunk] for i in range(0, len(events), chunk)])
    if show_progress:
        progress(futures)
    wait(futures, timeout=timeout)
    return [curve for part in client.gather(futures) for curve in part]


def usable_cpus():
    return len(os.sched_getaffinity(0))


def host_and_cpus():
    return socket.gethostname(), usable_cpus()


def set_pool_size(threads):
    """On a worker: the size its module worker pool will take, unless the worker's environment
    names one already. It counts only before the pool starts, at the worker's first
    uniform-disk batch."""
    return os.environ.setdefault("RAYON_NUM_THREADS", str(threads))


def budget_threads(client):
    """Gives every worker process a pool of (CPUs of its host) / (worker processes on that host)
    threads; returns the pool size each worker will use, by worker address."""
    hosts = client.run(host_and_cpus)
    processes = collections.Counter(host for host, _ in hosts.values())
    return {address: client.run(set_pool_size, max(1, cpus // processes[host]), workers=[address])[address]
            for address, (host, cpus) in hosts.items()}


def bits(curves):
    return b"".join(np.asarray(curve, dtype=np.float64).tobytes() for curve in curves)


def draw(events, curves, output):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    colours = {False: "tab:orange", True: "tab:green"}
    names = {False: "uniform disk", True: "limb-darkened disk (linear, 0.6)"}
    figure, (sample, peaks) = plt.subplots(1, 2, figsize=(11, 4.4))
    for event, curve in list(zip(events, curves))[:16]:
        sample.plot(TIMES, curve, color=colours[event.limb_darkened], lw=1.0, alpha=0.8)
    sample.set_yscale("log")
    sample.set_xlabel("time from the peak (days)")
    sample.set_ylabel("magnification A")
    sample.set_title(f"The first 16 of {len(events)} light curves")

    peak = TIMES.index(0.0)
    for limb_darkened in (False, True):
        chosen = [(e.u0 / e.rho, c[peak] * e.rho) for e, c in zip(events, curves)
                  if e.limb_darkened == limb_darkened and e.u0 > 0]
        peaks.scatter(*zip(*chosen), s=6, color=colours[limb_darkened], label=names[limb_darkened])
    x = [10 ** (k / 20) for k in range(-50, 31)]
    peaks.plot(x, [1 / v for v in x], ":", color="tab:blue", label=r"point source, $A \approx 1/u_0$")
    peaks.set_xscale("log")
    peaks.set_yscale("log")
    peaks.set_xlabel(r"impact parameter in source radii, $u_0/\rho$")
    peaks.set_ylabel(r"peak magnification $\times\ \rho$")
    peaks.set_title(r"A finite source caps the peak near $A = 2/\rho$")
    peaks.set_ylim(0.05, 5)
    peaks.legend(frameon=False, fontsize=8.5)
    sample.legend(handles=[Line2D([], [], color=colours[k], label=names[k]) for k in (False, True)],
                  frameon=False, fontsize=8.5)
    for axes in (sample, peaks):
        axes.grid(alpha=0.3, which="both")
    figure.tight_layout()
    figure.savefig(output, dpi=200)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default="population.png", help="figure path (default: %(default)s)")
    parser.add_argument("--events", type=int, default=1000, help="number of events (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the population (default: %(default)s)")
    parser.add_argument("--scheduler", help="address of a running dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=usable_cpus(),
                        help="worker processes of the LocalCluster (default: the usable CPUs, %(default)s)")
    parser.add_argument("--check", action="store_true", help="compare with each event computed alone, here")
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    events = draw_population(args.events, args.seed)
    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        pool = max(1, usable_cpus() // args.workers)
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, env={"RAYON_NUM_THREADS": str(pool)})
        client = Client(cluster)
    try:
        pools = budget_threads(client)
        print(f"{len(pools)} worker processes, module pool sizes {sorted(collections.Counter(pools.values()).items())}"
              " (size, workers)")
        started = time.perf_counter()
        curves = compute_distributed(client, events)
        print(f"\n{len(events)} light curves of {len(TIMES)} points in {time.perf_counter() - started:.1f} s")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    if args.check:
        started = time.perf_counter()
        alone = [light_curve(event) for event in events]
        same = bits(alone) == bits(curves)
        print(f"each event alone, in this process: {time.perf_counter() - started:.1f} s; "
              f"{'identical, bit for bit' if same else 'DIFFERENT'}")
        if not same:
            sys.exit(1)
    draw(events, curves, args.output)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
