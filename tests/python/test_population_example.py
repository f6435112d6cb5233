"""The dask example: light curves on two worker processes, each with its pool budget, each chunk a
batch of events per source type."""

import os
import pathlib

import pytest

pytest.importorskip("distributed")
from distributed import Client, LocalCluster  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def example(monkeypatch):
    # The worker processes start with this process's sys.path, so they import it by name too.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import light_curve_population

    return light_curve_population


def pool_threads_started():
    """On a worker: the threads that its first uniform-disk batch adds, i.e. the module's pool."""
    import mirvanta

    before = len(os.listdir("/proc/self/task"))
    mirvanta.witt_mao_magnification([0.5] * 10_000, 1.0, 0.1)
    return len(os.listdir("/proc/self/task")) - before


def test_two_processes_with_budgeted_pools_give_the_serial_bits(example, monkeypatch):
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)  # the budget, not the caller, sizes the pools
    events = example.draw_population(30, seed=3)
    assert {event.limb_darkened for event in events} == {False, True}
    expected_pool = max(1, len(os.sched_getaffinity(0)) // 2)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        pools = example.budget_threads(client)
        started = client.run(pool_threads_started)
        curves = example.compute_distributed(client, events, chunk=4, show_progress=False, timeout=120)

    assert list(pools.values()) == [str(expected_pool)] * 2
    assert list(started.values()) == [expected_pool] * 2
    assert len(curves) == len(events) and all(len(curve) == len(example.TIMES) for curve in curves)
    # Each event as a call of its own gives the bits of the batches on the workers, and of the
    # whole population as two batches here.
    alone = [example.light_curve(event) for event in events]
    assert example.bits(curves) == example.bits(alone) == example.bits(example.light_curves(events))
