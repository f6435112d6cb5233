"""The worker pool behind the batch functions: its size, results that do not depend on it,
nesting, many callers, and processes that fork after the pool exists."""

import json
import multiprocessing
import os
import signal
import sys
import time

import pytest

from conftest import needs_address_space_limit, run_process, run_python, same_floats

# A batch that every pool size splits: separations across the whole domain, with inf and NaN.
BATCH = """
    import json, mirvanta
    l = [i * 0.0173 for i in range(20000)] + [float('inf'), float('nan'), -1.0, 0.0]
    single = mirvanta.witt_mao_magnification(l, 1.0, 0.05)
    grid = mirvanta.multi_witt_mao_magnification(l[:3000], [1.0, 3.0, 0.5], [0.05, 0.2])
    print(json.dumps([[x.hex() for x in single]] + [[x.hex() for x in row] for row in grid]))
"""


POOL_THREADS = """
import os, mirvanta
before = len(os.listdir('/proc/self/task'))
mirvanta.witt_mao_magnification([], 1.0, 0.1)
print(len(os.listdir('/proc/self/task')) - before)
"""


def without_pool_variables():
    return {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}


@pytest.fixture(scope="module")
def default_size():
    return len(os.sched_getaffinity(0))


# Which variable decides, and how each is parsed, is tested in C++ (PoolSize.FollowsTheEnvironment);
# here, that the pool a Python process gets has the size they give.
@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
    ({"RAYON_RS_NUM_CPUS": "6"}, 6),
    ({}, "default"),
], ids=lambda v: json.dumps(v) if isinstance(v, dict) else str(v))
def test_pool_size_from_the_environment(env, expected, default_size):
    # An empty batch still creates the pool; each worker is one more thread of the process.
    environment = without_pool_variables()
    environment.update(env)
    completed = run_process([sys.executable, "-c", POOL_THREADS], env=environment, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert int(completed.stdout) == (default_size if expected == "default" else expected)


def test_results_do_not_depend_on_the_pool_size():
    outputs = {size: run_python(BATCH, env={"RAYON_NUM_THREADS": str(size)}).stdout for size in (1, 2, 3, 8)}
    assert len(set(outputs.values())) == 1


def test_grid_is_every_pair_in_order(mirvanta):
    l = [0.0, 0.5, 1.0, 3.0, 40.0]
    re, rstar = [1.0, 2.5], [0.1, 0.3, 0.0]
    grid = mirvanta.multi_witt_mao_magnification(l, re, rstar)
    expected = [mirvanta.witt_mao_magnification(l, e, s) for e in re for s in rstar]
    assert len(grid) == 6 and all(same_floats(a, b) for a, b in zip(grid, expected))
    assert all(type(row) is list for row in grid)


@pytest.mark.parametrize("l, re, rstar, expected", [
    ([1.0], [], [0.1], []),
    ([1.0], [1.0], [], []),
    ([], [1.0, 2.0], [0.1, 0.2], [[], [], [], []]),
    ([], [], [], []),
])
def test_grid_empty_cases(mirvanta, l, re, rstar, expected):
    assert mirvanta.multi_witt_mao_magnification(l, re, rstar) == expected


FORKED_BATCH = 200_000


def child_batch(queue):
    import mirvanta
    l = [i * 0.001 for i in range(FORKED_BATCH)]
    queue.put(mirvanta.witt_mao_magnification(l, 1.0, 0.1)[FORKED_BATCH // 2])


# Forking a process whose pool is running is the point of these tests.
FORK_WARNING = "ignore:This process .* is multi-threaded:DeprecationWarning"


@pytest.mark.filterwarnings(FORK_WARNING)
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_gets_a_pool_of_its_own(mirvanta):
    l = [i * 0.001 for i in range(FORKED_BATCH)]
    expected = mirvanta.witt_mao_magnification(l, 1.0, 0.1)  # the pool exists in the parent now
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            ok = mirvanta.witt_mao_magnification(l, 1.0, 0.1) == expected
            os._exit(0 if ok else 1)
        finally:
            os._exit(2)
    for _ in range(600):  # up to 60 s: a child whose batch waits on the parent's workers hangs
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.1)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child's batch did not finish")
    assert os.waitstatus_to_exitcode(status) == 0
    # and the parent's pool is unaffected
    assert mirvanta.witt_mao_magnification(l, 1.0, 0.1) == expected


@pytest.mark.filterwarnings(FORK_WARNING)
@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="needs fork")
def test_multiprocessing_with_fork(mirvanta):
    l = [i * 0.001 for i in range(FORKED_BATCH)]
    expected = mirvanta.witt_mao_magnification(l, 1.0, 0.1)[FORKED_BATCH // 2]
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    processes = [context.Process(target=child_batch, args=(queue,), daemon=True) for _ in range(2)]
    try:
        for process in processes:
            process.start()
        values = [queue.get(timeout=60) for _ in processes]
        for process in processes:
            process.join(timeout=60)
    finally:  # a child whose batch hangs is ended here, not left for the end of the run
        for process in processes:
            if process.is_alive():
                process.kill()
                process.join()
    assert values == [expected, expected]
    assert all(process.exitcode == 0 for process in processes)


# Under a small address-space limit the workers' stacks cannot be mapped: some workers start,
# then one does not, and those that started are stopped and joined again.
POOL_REFUSED = """
    import json, os, resource, time, warnings, mirvanta
    def threads():
        return len(os.listdir('/proc/self/task'))
    l = [0.5 + i * 1e-3 for i in range(30000)] + [float('inf'), float('nan'), -1.0, 0.0]
    grid_args = (l[:3000], [1.0, 2.0], [0.05, 0.3])
    before = threads()
    used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
    limits = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, limits[1]))
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            empty = mirvanta.witt_mao_magnification([], 1.0, 0.1)
            alone = [mirvanta.witt_mao_magnification(l, 1.0, 0.1), *mirvanta.multi_witt_mao_magnification(*grid_args)]
            alone.append(mirvanta.witt_mao_magnification(l, 1.0, 0.1))  # the start is tried again, silently
    finally:
        resource.setrlimit(resource.RLIMIT_AS, limits)
    left = threads() - before
    time.sleep(1.1)  # longer than the longest pause between two attempts to start
    pooled = [mirvanta.witt_mao_magnification(l, 1.0, 0.1), *mirvanta.multi_witt_mao_magnification(*grid_args)]
    print(json.dumps({
        "empty": empty, "left": left, "started": threads() - before,
        "warnings": [[w.category.__name__, str(w.message)] for w in caught],
        "alone": [[x.hex() for x in row] for row in alone[:-1]], "again": [x.hex() for x in alone[-1]],
        "pooled": [[x.hex() for x in row] for row in pooled],
    }))
"""


@needs_address_space_limit
def test_a_pool_that_cannot_start_leaves_the_work_to_the_calling_thread():
    result = run_python(POOL_REFUSED, env={"RAYON_NUM_THREADS": "64"})
    report = json.loads(result.stdout)
    assert report["empty"] == [] and report["left"] == 0
    # One warning, saying why; the results are those of the pool, to the bit.
    [[category, message]] = report["warnings"]
    assert category == "RuntimeWarning"
    assert message.startswith("mirvanta: the worker pool could not start (the system refused worker thread ")
    assert "of 64: " in message and message.endswith("calls compute on the calling thread until a later start succeeds")
    assert report["alone"] == report["pooled"] and report["again"] == report["pooled"][0]
    # With room again, a later call starts the whole pool.
    assert report["started"] == 64
    assert "panicked" not in result.stderr


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="malloc is AddressSanitizer's")
@pytest.mark.skipif(not os.confstr("CS_GNU_LIBC_VERSION"), reason="counts glibc's malloc arenas")
def test_workers_take_no_malloc_arena():
    # glibc gives a thread an arena of its own (64 MB of address space) at its first malloc. The
    # workers run batches, grids, the limb-darkened and flux-map quadratures, whole light curves
    # of a batch of events (each a call of the profile engine, in the scratch the calling thread
    # gives it) and a stopped grid without one: the process keeps its main arena.
    result = run_python("""
        import ctypes, os, re, signal, mirvanta
        def arenas():
            read, write = os.pipe()
            saved = os.dup(2)
            os.dup2(write, 2)
            ctypes.CDLL(None).malloc_stats()
            os.dup2(saved, 2)
            os.close(write)
            with os.fdopen(read) as stats:
                return len(re.findall(r"^Arena \\d+:", stats.read(), re.M))
        l = [0.5 + i * 1e-4 for i in range(100_000)]
        radii, brightness = [i / 9 for i in range(10)], [1.0 - i / 20 for i in range(10)]
        for _ in range(3):
            mirvanta.witt_mao_magnification(l, 1.0, 0.1)
            mirvanta.multi_witt_mao_magnification(l[:5000], [1.0] * 8, [0.1, 0.2])
            mirvanta.integrated_witt_mao_magnification(l[:200], 1.0, 0.1)
            mirvanta.integrated_heyrovsky_magnification(l[:100], 1.0, 0.1)
            for name in ("discrete_flux_map_heyrovsky_magnification", "integrated_flux_map_witt_mao_magnification",
                         "integrated_flux_map_heyrovsky_magnification"):
                getattr(mirvanta, name)(l[:100], 1.0, 0.1, radii, brightness)
            times = [x - 0.55 for x in l[:1000]]
            for law in (None, mirvanta.SquareRoot(0.3, 0.4), mirvanta.Profile(radii, brightness)):
                events = [[0.002 * k] for k in range(16)]
                mirvanta.light_curve(times, events, 0.01, 0.2, [[0.05 + 0.01 * k] for k in range(16)], law)
                mirvanta.light_curve(times, events, 0.01, 0.2, 0.1, law, rtol=1e-13)
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        try:
            mirvanta.multi_witt_mao_magnification(l, [1.0] * 64, [0.1, 0.2])
        except KeyboardInterrupt:
            print("stopped")
        print(arenas())
    """, env={"RAYON_NUM_THREADS": "8"})
    assert result.stdout.split() == ["stopped", "1"]


def test_python_code_run_during_a_call_never_meets_the_result_list_half_made():
    # While the workers compute, the calling thread makes the result list ahead, and runs the
    # handlers of pending signals between its slices. A handler that walks the lists the garbage
    # collector knows would crash on the result list while it still has empty slots.
    result = run_python("""
        import gc, signal, mirvanta
        n = 400_000
        l = [0.5 + 29.5 * i / n for i in range(n)]
        walks, calling, in_call = 0, True, False
        def walk(signum, frame):
            global walks
            walks += in_call
            for obj in gc.get_objects():
                if type(obj) is list and len(obj) == n and obj is not l:
                    for item in obj:
                        type(item)
            if calling:  # one alarm at a time: a walk may take longer than the period
                signal.setitimer(signal.ITIMER_REAL, 0.002)
        signal.signal(signal.SIGALRM, walk)
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        for _ in range(5):
            in_call = True
            mirvanta.witt_mao_magnification(l, 1.0, 0.1)
            in_call = False
        calling = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        out = mirvanta.witt_mao_magnification(l, 1.0, 0.1)
        print(walks > 0, out == mirvanta.witt_mao_magnification(l[:1000], 1.0, 0.1) + out[1000:])
    """, env={"RAYON_NUM_THREADS": "2"})
    assert result.stdout.split() == ["True", "True"]
