"""Ctrl-C during a long call: the call stops with the signal's exception, and the module (and its
worker pool) goes on working afterwards. How soon it stops is measured by
benchmarks/bench_signal_latency.py: no test here depends on the machine's speed or load."""

import json

import pytest

from conftest import FUNCTIONS, run_python

# Each call would run for seconds on any machine if nothing stopped it. The signal comes from
# another process 0.1 s after the call starts (the calling thread keeps the interpreter lock, so
# no Python thread of this process could send it).
INTERRUPT = """
    import array, json, os, signal, subprocess, mirvanta
    name, how = NAME_AND_HOW
    m = mirvanta
    rings, weights = [i / 999 for i in range(1000)], [1.0] * 1000
    many = 8_000_000 if "long" in name else 0
    many_rings, many_weights = array.array("d", [0.3]) * many, array.array("d", [1.0]) * many
    einstein = name.startswith(("magnification", "light_curve"))
    numpy = __import__("numpy") if einstein else None
    # The arguments are built before the clock starts: building them does not check for signals.
    function, args = {
        "witt_mao_magnification": (m.witt_mao_magnification, (array.array("d", [0.9989] * 4_000_000), 1.0, 0.1)),
        "multi_witt_mao_magnification": (m.multi_witt_mao_magnification, ([0.9989] * 10_000, [1.0] * 20, [0.1] * 20)),
        "integrated_witt_mao_magnification": (m.integrated_witt_mao_magnification, ([0.5] * 20_000, 1.0, 0.1)),
        "integrated_heyrovsky_magnification": (m.integrated_heyrovsky_magnification, ([0.5] * 10_000, 1.0, 0.1)),
        "integrated_flux_map_witt_mao_magnification":
            (m.integrated_flux_map_witt_mao_magnification, ([0.5] * 10_000, 1.0, 0.1, rings, weights)),
        "integrated_flux_map_heyrovsky_magnification":
            (m.integrated_flux_map_heyrovsky_magnification, ([0.5] * 10_000, 1.0, 0.1, rings, weights)),
        "discrete_flux_map_heyrovsky_magnification":
            (m.discrete_flux_map_heyrovsky_magnification, ([0.5] * 10_000, 1.0, 0.1, rings, weights)),
        # Millions of rings: a single separation (evaluated outside any map) and two (in a map)
        # run for seconds each, and are stopped within them.
        "discrete_flux_map_heyrovsky_magnification, one long separation":
            (m.discrete_flux_map_heyrovsky_magnification, ([0.5], 1.0, 0.1, many_rings, many_weights)),
        "discrete_flux_map_heyrovsky_magnification, two long separations":
            (m.discrete_flux_map_heyrovsky_magnification, ([0.5, 0.6], 1.0, 0.1, many_rings, many_weights)),
        # The functions in Einstein radii: separations inside the source, by quadrature (NumPy
        # imported and the arrays made here, before the clock starts).
        "magnification": (m.magnification, (einstein and numpy.full(4_000_000, 0.005), 0.01, m.Quadratic(0.5, 0.2))),
        "light_curve": (m.light_curve, (einstein and numpy.zeros(4_000_000), 0.0, 0.005, 20.0, 0.01,
                                        m.Profile([0.0, 0.5, 1.0], [1.0, 0.7, 0.2]))),
        # 4,000 events of 1,000 epochs, whole tasks on the pool; and 4 million events of one epoch.
        "light_curve, many events": (m.light_curve, (einstein and numpy.zeros(1000), einstein and numpy.zeros((4000, 1)),
                                                     0.005, 20.0, 0.01, m.Profile([0.0, 0.5, 1.0], [1.0, 0.7, 0.2]))),
        "light_curve, an event per epoch": (m.light_curve, (einstein and numpy.zeros(4_000_000),
                                                            einstein and numpy.zeros(4_000_000), 0.005, 20.0, 0.01,
                                                            m.Profile([0.0, 0.5, 1.0], [1.0, 0.7, 0.2]))),
    }[name]
    expected = mirvanta.witt_mao_magnification([0.5, 2.0], 1.0, 0.1)
    if how == "sigint":
        # Python's own handler, also when this process was started with SIGINT ignored (as a
        # shell's background job is), which would leave Ctrl-C ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        # Kept: a Popen dropped while its child runs warns (ResourceWarning under -X dev), and a
        # KeyboardInterrupt that arrives during that warning is lost in Popen.__del__.
        sender = subprocess.Popen(["sh", "-c", f"sleep 0.1; kill -INT {os.getpid()}"])
        caught = KeyboardInterrupt
    else:  # a handler of our own, raising an exception of its own
        def handler(signum, frame):
            raise TimeoutError("handler's own")
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        caught = TimeoutError
    try:
        function(*args)
        outcome = "returned"
    except caught as error:
        outcome = type(error).__name__
    if how == "sigint":
        sender.wait(timeout=60)
    # The pool and the module still work, with the same results.
    after = mirvanta.witt_mao_magnification([0.5, 2.0], 1.0, 0.1)
    grid = mirvanta.multi_witt_mao_magnification([0.5, 2.0] * 5000, [1.0], [0.1])
    print(json.dumps({"outcome": outcome, "same_after": after == expected,
                      "grid_after": grid[0][:2] == expected}))
"""

# Every function that takes a sequence of separations (heyrovsky_magnification takes one number).
SEQUENCE_FUNCTIONS = [name for name, parameters in FUNCTIONS.items() if parameters["l"] == "s"]


def interrupted(name, how, threads):
    script = INTERRUPT.replace("NAME_AND_HOW", f"{name!r}, {how!r}")
    result = run_python(script, env={"RAYON_NUM_THREADS": str(threads)})
    return json.loads(result.stdout)


@pytest.mark.parametrize("name", SEQUENCE_FUNCTIONS)
def test_ctrl_c_stops_every_function(name):
    report = interrupted(name, "sigint", 2)
    assert report["outcome"] == "KeyboardInterrupt"
    assert report["same_after"] and report["grid_after"]


EINSTEIN = ["magnification", "light_curve", "light_curve, many events", "light_curve, an event per epoch"]


@pytest.mark.parametrize("name", EINSTEIN)
def test_ctrl_c_stops_the_functions_in_einstein_radii(name):
    pytest.importorskip("numpy")
    report = interrupted(name, "sigint", 2)
    assert report["outcome"] == "KeyboardInterrupt"
    assert report["same_after"] and report["grid_after"]


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("name", ["witt_mao_magnification", "multi_witt_mao_magnification",
                                  "integrated_heyrovsky_magnification", "light_curve, many events",
                                  "discrete_flux_map_heyrovsky_magnification, one long separation",
                                  "discrete_flux_map_heyrovsky_magnification, two long separations"])
def test_a_handlers_own_exception_is_raised(name, threads):
    # One worker: the map runs on the calling thread, which polls between its chunks; three:
    # the calling thread polls while it waits for the workers. A single long separation is
    # evaluated on the calling thread, which polls between its rings.
    report = interrupted(name, "alarm", threads)
    assert report["outcome"] == "TimeoutError"
    assert report["same_after"] and report["grid_after"]


# A handler calls the module while an outer call waits for its map, and a second signal whose
# handler raises lands inside that inner call. Each call keeps its own stop: the inner call raises
# the handler's exception and returns nothing, the outer call goes on. Where the timer lands is up
# to the machine, so the script counts outcomes; a profile function tells whether the second
# handler ran inside the inner call (between its c_call and its c_return or c_exception). That
# must have happened at least once (else nothing was shown), and no call may have returned wrong
# numbers or raised anything but the handler's exception.
NESTED_HANDLER_CALLS = """
    import collections, json, signal, sys, mirvanta as M
    inner_length, timer = INNER_LENGTH_AND_TIMER
    L = [0.01 * i for i in range(1, inner_length)]
    exp = M.witt_mao_magnification(L, 1.0, 0.1)
    BIG = [0.001 * i for i in range(1, 30001)]
    big = M.witt_mao_magnification(BIG, 1.0, 0.1)
    counts = collections.Counter()
    state = {"busy": False, "in inner call": False, "raised inside": False}

    def profiler(frame, event, arg):
        if event == "c_call" and arg is M.witt_mao_magnification:
            state["in inner call"] = True
        elif event in ("c_return", "c_exception") and arg is M.witt_mao_magnification:
            state["in inner call"] = False

    def handler(signum, frame):
        if state["busy"]:
            state["raised inside"] = state["in inner call"]
            raise ValueError("nested")
        state["busy"], state["raised inside"] = True, False
        try:
            sys.setprofile(profiler)
            signal.setitimer(signal.ITIMER_REAL, timer)  # lands inside the inner call, mostly
            result = M.witt_mao_magnification(L, 1.0, 0.1)
            sys.setprofile(None)
            if state["raised inside"]:
                counts["inner returned a list after its handler raised"] += 1
            else:
                counts["inner right" if result == exp else "inner WRONG"] += 1
        except ValueError:
            sys.setprofile(None)
            counts["inner stopped inside" if state["raised inside"] else "inner stopped outside"] += 1
        except BaseException as error:
            sys.setprofile(None)
            counts["inner " + type(error).__name__] += 1
        finally:
            state["busy"] = False
            signal.setitimer(signal.ITIMER_REAL, 0)

    signal.signal(signal.SIGALRM, handler)
    for _ in range(200):
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        try:
            counts["outer right" if M.witt_mao_magnification(BIG, 1.0, 0.1) == big else "outer WRONG"] += 1
        except BaseException as error:
            counts["outer " + type(error).__name__] += 1
    signal.setitimer(signal.ITIMER_REAL, 0)
    print(json.dumps(counts))
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("inner_length, timer", [(2000, 2e-5), (20000, 5e-5)])
def test_a_call_from_a_handler_is_stopped_alone(threads, inner_length, timer):
    script = NESTED_HANDLER_CALLS.replace("INNER_LENGTH_AND_TIMER", repr((inner_length, timer)))
    counts = json.loads(run_python(script, env={"RAYON_NUM_THREADS": str(threads)}).stdout)
    assert counts.get("inner stopped inside", 0) > 0, counts
    assert set(counts) <= {"inner right", "inner stopped inside", "inner stopped outside", "outer right"}, counts



# A timer's signal during the call's sequential parts on the calling thread: the conversion of a
# long list (whose last item does not convert, so that a conversion that ran to its end would
# raise TypeError) and point_source_magnification of a long array. A profile function tells
# whether the handler ran inside the call (between its c_call and its c_return or c_exception):
# only a question of the call's own runs it there; one that the interpreter runs after the call,
# as it enters the profile function for the c_return, is not inside. A timer that expires before the call starts
# runs it outside, so the script tries until one lands inside (almost always the first time).
SEQUENTIAL_PARTS = """
    import array, json, signal, sys, mirvanta as M
    case = CASE
    if case == "list conversion":
        function = M.witt_mao_magnification
        args = (array.array("d", range(2_000_000)).tolist() + ["not a number"], 1.0, 0.1)
    else:
        function, args = M.point_source_magnification, (__import__("numpy").linspace(0.0, 3.0, 4_000_000),)
    expected = M.witt_mao_magnification([0.5, 2.0], 1.0, 0.1)
    state = {"inside": False}
    attempts = []

    def profiler(frame, event, arg):
        if arg is function:
            state["inside"] = event == "c_call"

    def handler(signum, frame):
        # Run by the interpreter as it enters the profile function, the handler is not inside.
        state["handler inside"] = state["inside"] and frame.f_code is not profiler.__code__
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, handler)
    for _ in range(20):
        state["handler inside"] = None
        try:
            try:
                sys.setprofile(profiler)
                signal.setitimer(signal.ITIMER_REAL, 0.001)
                function(*args)
                outcome = "returned"
            except KeyboardInterrupt as error:
                outcome = "KeyboardInterrupt" + (" with notes" if getattr(error, "__notes__", None) else "")
            except TypeError:
                outcome = "TypeError"
            finally:
                sys.setprofile(None)
        except KeyboardInterrupt:  # after the call returned, before the timer was read
            outcome = "returned"
        signal.setitimer(signal.ITIMER_REAL, 0)
        attempts.append([outcome, state["handler inside"]])
        if state["handler inside"]:
            break
    after = M.witt_mao_magnification([0.5, 2.0], 1.0, 0.1)
    print(json.dumps({"attempts": attempts, "same_after": after == expected}))
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", ["list conversion", "point source"])
def test_a_signal_stops_the_sequential_parts_of_a_call(case, threads):
    if case == "point source":
        pytest.importorskip("numpy")
    script = SEQUENTIAL_PARTS.replace("CASE", repr(case))
    report = json.loads(run_python(script, env={"RAYON_NUM_THREADS": str(threads)}).stdout)
    inside = [outcome for outcome, handler_inside in report["attempts"] if handler_inside]
    assert inside == ["KeyboardInterrupt"], report
    assert report["same_after"]
