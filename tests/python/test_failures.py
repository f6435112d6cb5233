"""Internal failures (PanicException), model errors, and the state a failure leaves behind."""

import array
import functools
import gc
import importlib.util
import sys
import threading

import pytest

from conftest import needs_address_space_limit, run_python, same_floats

# The internal failure reachable from Python: bl and bf of different lengths in a flux-map
# function, checked before any separation (also for none).
PANIC_SCRIPT = """
    import mirvanta
    for name in ("discrete_flux_map_heyrovsky_magnification", "integrated_flux_map_witt_mao_magnification",
                 "integrated_flux_map_heyrovsky_magnification"):
        for l in ([], [1.0]):
            try:
                getattr(mirvanta, name)(l, 1.0, 0.1, [0.5, 0.6], [1.0])
            except Exception:
                print("caught by except Exception")
            except BaseException as panic:
                print(type(panic).__name__, type(panic).__module__, type(panic).__mro__[1].__name__,
                      repr(panic.args), panic.__notes__ if hasattr(panic, "__notes__") else "no notes")
    # the module stays usable
    print(mirvanta.witt_mao_magnification([0.0], 1.0, 1.0)[0] == 5 ** 0.5)
    print(mirvanta.discrete_flux_map_heyrovsky_magnification([2.0], 1.0, 0.1, [0.5], [1.0])[0] > 1)
"""


def test_panic_exception_and_its_report():
    result = run_python(PANIC_SCRIPT)
    lines = result.stdout.splitlines()
    panic = "PanicException mirvanta BaseException " + repr(("assertion `left == right` failed\n  left: 2\n right: 1",))
    assert lines == [panic + " no notes"] * 6 + ["True", "True"]
    # Each report on stderr names the thread, the source location and the message, with a hint.
    assert "thread 'python" in result.stderr or "thread '<unnamed>'" in result.stderr
    assert result.stderr.count("panicked at src/models/source_radii/flux_map.cpp:") == 6
    assert "assertion `left == right` failed" in result.stderr
    assert "backtrace" in result.stderr


def test_runtime_error_carries_only_the_elliptic_text(mirvanta):
    with pytest.raises(RuntimeError) as caught:
        mirvanta.heyrovsky_magnification(-1.0, 1.0, 1.0, 1.0)
    assert caught.value.args == ("ellipk: Arguments cannot be NAN.",)
    # and the next call starts afresh
    assert mirvanta.heyrovsky_magnification(0.0, 1.0, 1.0, 1.0) > 1.0


def test_concurrent_calls_from_many_threads(mirvanta):
    values = [i * 0.37 for i in range(2000)]
    expected = mirvanta.witt_mao_magnification(values, 1.0, 0.05)
    results, errors = [], []

    def work():
        try:
            for _ in range(20):
                results.append(mirvanta.witt_mao_magnification(values, 1.0, 0.05))
                with pytest.raises(TypeError):
                    mirvanta.witt_mao_magnification({1.0}, 1.0, 0.05)
        except BaseException as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(results) == 160 and all(same_floats(r, expected) for r in results)


SHARED_BATCH = [0.5 + i * 0.01 for i in range(3000)]

LEAK_CALLS = [
    ("witt_mao", lambda m: m.witt_mao_magnification([0.1, 1.0, 3.0], 1.0, 0.1)),
    ("witt_mao_tuple", lambda m: m.witt_mao_magnification((0.1, 1.0, 3.0), 1.0, 0.1)),
    # long enough to be shared with the workers, its result list made while they compute
    ("witt_mao_shared", lambda m: m.witt_mao_magnification(SHARED_BATCH, 1.0, 0.1)),
    ("heyrovsky", lambda m: m.heyrovsky_magnification(0.3, 0.9, 1.0, 0.1)),
    ("runtime_error", lambda m: m.heyrovsky_magnification(-1.0, 1.0, 1.0, 1.0)),
    ("binding_error", lambda m: m.witt_mao_magnification([1.0], 1.0, 1.0, rho=2)),
    ("missing", lambda m: m.witt_mao_magnification()),
    ("str_error", lambda m: m.witt_mao_magnification("abc", 1.0, 1.0)),
    ("not_a_sequence", lambda m: m.witt_mao_magnification({1: 2}, 1.0, 1.0)),
    ("item_error", lambda m: m.witt_mao_magnification([1.0, "x"], 1.0, 1.0)),
    ("float_error", lambda m: m.witt_mao_magnification([1.0], 1.0, object())),
    ("grid", lambda m: m.multi_witt_mao_magnification([0.5, 2.0], [1.0, 2.0], (0.1, 0.2))),
    ("grid_error", lambda m: m.multi_witt_mao_magnification([0.5], [1.0], "x")),
    ("integrated", lambda m: m.integrated_witt_mao_magnification([0.5, 2.0], 1.0, 0.1)),
    ("integrated_ring", lambda m: m.integrated_heyrovsky_magnification([2.0], 1.0, 0.1)),
    ("flux_map", lambda m: m.integrated_flux_map_witt_mao_magnification([2.0], 1.0, 0.1, [0.0, 1.0], [1.0, 0.5])),
    ("flux_map_ring", lambda m: m.integrated_flux_map_heyrovsky_magnification([2.0], 1.0, 0.1, [0.5], [1.0])),
    ("discrete", lambda m: m.discrete_flux_map_heyrovsky_magnification([2.0], 1.0, 0.1, [0.5], [1.0])),
    ("discrete_error", lambda m: m.discrete_flux_map_heyrovsky_magnification([-2.0], 1.0, 0.1, [0.5], [1.0])),
    # The buffer path: an array of doubles, and a NumPy array where NumPy exists. The arrays are
    # made once: NumPy's own calls do not balance the total on a debug build (numpy.array takes
    # 4 references a call for good, numpy.empty 2, NumPy 2.5 on CPython 3.14).
    ("double_buffer", lambda m: m.witt_mao_magnification(array.array("d", [0.5, 2.0]), 1.0, 0.1)),
    ("numpy", lambda m: m.witt_mao_magnification(numpy_array((0.5, 2.0)), 1.0, 0.1)),
    # The surface in Einstein radii: numbers need no NumPy.
    ("magnification", lambda m: m.magnification(0.05, 0.1, m.Quadratic(0.5, 0.2), rtol=1e-8)),
    ("light_curve", lambda m: m.light_curve(1.0, 0.0, 0.1, 20.0, 0.1, m.Profile([0.0, 1.0], [1.0, 0.5]))),
    ("law_values", lambda m: (repr(m.Power2(0.5, 0.6)), hash(m.SquareRoot(0.1, 0.2)), m.Linear(0.6).__reduce__(),
                              m.Linear(0.6) == m.Linear(0.6), m.Profile((0.0, 1.0), [1, 1]).radii)),
    ("law_error", lambda m: m.Quadratic(1.0, 0.5)),
    ("profile_error", lambda m: m.Profile([0.0, 0.5, 0.4], [1.0, 1.0, 1.0])),
    ("negative_u", lambda m: m.magnification(-1.0, 0.1)),
    ("limb_error", lambda m: m.magnification(0.5, 0.1, 0.6)),
    # The result is a new array (numpy.empty), whose own references the baseline below takes out.
    ("numpy_magnification", lambda m: m.magnification(numpy_array((1.0,) * 6, (2, 3)), numpy_array((0.1, 0.2, 0.3)))),
]
HAS_NUMPY = importlib.util.find_spec("numpy") is not None
# What NumPy itself does in a call, counted as the call is and taken out of its count.
NUMPY_BASELINES = {"numpy_magnification": lambda: __import__("numpy").empty((2, 3))}


@functools.cache
def numpy_array(values, shape=None):
    array = __import__("numpy").array(values, dtype="float64")
    return array.reshape(shape) if shape else array


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
@pytest.mark.parametrize("name, call", LEAK_CALLS, ids=[name for name, _ in LEAK_CALLS])
def test_reference_counts_balance(mirvanta, name, call):
    if "numpy" in name and not HAS_NUMPY:
        pytest.skip("needs NumPy")
    def run(times):
        for _ in range(times):
            try:
                call(mirvanta)
            except (TypeError, RuntimeError, ValueError):
                pass

    def taken(call, times=2000):
        call(50)  # warm every cache
        gc.collect()
        before = sys.gettotalrefcount()
        call(times)
        gc.collect()
        return sys.gettotalrefcount() - before

    baseline = NUMPY_BASELINES.get(name)
    numpy_own = taken(lambda times: [baseline() for _ in range(times)]) if baseline else 0
    assert taken(run) - numpy_own < 50


# Each allocation of a call that memory cannot hold, under an address-space limit: the
# MemoryError says what it was for (the argument or the result) and its size, worked out by hand
# (8 bytes a double; 24 bytes a float object and 8 for the list's pointer to it).
MEMORY_ERRORS = """
    import resource, numpy as np, mirvanta

    def mapped():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

    separations = [0.5] * 30_000_000
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    calls = [
        (2**33, lambda: mirvanta.magnification(np.ones((10**5, 1)), np.full((1, 10**5), 0.1))),
        (2**33, lambda: mirvanta.light_curve(np.ones((10**5, 1)), 0.0, 0.1, 10.0, np.full((1, 10**5), 0.1))),
        (2**33, lambda: mirvanta.point_source_magnification(np.broadcast_to(0.5, (10**5, 10**5)))),
        (2**33, lambda: mirvanta.multi_witt_mao_magnification(separations[:2000], [1.0] * 1000, [0.1] * 1000)),
        (100 * 2**20, lambda: mirvanta.witt_mao_magnification(separations, 1.0, 0.1)),
        (400 * 2**20, lambda: mirvanta.witt_mao_magnification(separations, 1.0, 0.1)),
    ]
    for headroom, call in calls:
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + headroom, hard))
        try:
            call()
        except MemoryError as error:
            print(str(error), getattr(error, "__notes__", []), sep=" | ")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""


@needs_address_space_limit
def test_memory_errors_say_what_could_not_be_allocated():
    result = run_python(MEMORY_ERRORS, timeout=120)
    assert result.stdout.splitlines() == [
        "magnification: cannot allocate the result of shape (100000, 100000) (80.0 GB) | []",
        "light_curve: cannot allocate the result of shape (100000, 100000) (80.0 GB) | []",
        # NumPy's own text, when the argument itself is copied: 8e10 bytes in GiB
        "Unable to allocate 74.5 GiB for an array with shape (100000, 100000) and data type float64 | "
        "[\"while processing 'u'\"]",
        "multi_witt_mao_magnification: cannot allocate the result grid, 2000000000 values (16.0 GB) | []",
        "cannot allocate the values of l, 30000000 doubles (240.0 MB) | [\"while processing 'l'\"]",
        "witt_mao_magnification: cannot allocate the result, a list of 30000000 floats (960.0 MB) | []",
    ]
