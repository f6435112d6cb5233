"""The module across a process's whole life: forks during an import and during calls, daemon
threads at interpreter exit, subinterpreters, memory exhaustion, and its exception class crossing
process boundaries. Each scenario runs in a fresh interpreter with a time-out."""

import concurrent.futures
import multiprocessing
import sys

import pytest

from conftest import needs_address_space_limit, run_python

# Another thread is importing collections (and holds its import lock, which no thread of a
# forked child will release) when the process forks; the child then makes the module's first
# not-a-sequence error, whose message names collections.abc.Sequence. An error that imported
# collections.abc at that moment would make the child wait for ever.
FORK_DURING_AN_IMPORT = """
    import importlib.machinery, os, sys, threading, time, warnings, mirvanta
    # fork() warns of the thread (CPython 3.12 and later); showing the warning would import
    # tokenize, which imports collections: it would wait for the stalled import below.
    warnings.simplefilter("ignore", DeprecationWarning)
    for name in ("collections.abc", "collections"):  # imported afresh by the thread below
        sys.modules.pop(name, None)
    importing, release = threading.Event(), threading.Event()

    class Stall:  # holds the loading of collections half-way, under its module lock
        @staticmethod
        def find_spec(name, path=None, target=None):
            if name != "collections":
                return None
            spec = importlib.machinery.PathFinder.find_spec(name, path)
            real = spec.loader

            class Loader:
                def create_module(self, spec):
                    return real.create_module(spec)

                def exec_module(self, module):
                    importing.set()
                    release.wait()
                    real.exec_module(module)

            spec.loader = Loader()
            return spec

    sys.meta_path.insert(0, Stall)
    importer = threading.Thread(target=__import__, args=("collections.abc",))
    importer.start()
    importing.wait()
    pid = os.fork()
    if pid == 0:
        try:
            mirvanta.witt_mao_magnification(5, 1.0, 1.0)
        except TypeError as error:
            os._exit(0 if str(error) == "'int' object is not an instance of 'Sequence'" else 3)
        os._exit(4)
    release.set()
    importer.join()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        finished, status = os.waitpid(pid, os.WNOHANG)
        if finished:
            print("child exit", os.waitstatus_to_exitcode(status))
            break
        time.sleep(0.01)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
"""


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs os.fork")
def test_a_child_forked_during_an_import_makes_the_not_a_sequence_error():
    result = run_python(FORK_DURING_AN_IMPORT, timeout=60)
    assert result.stdout.splitlines() == ["child exit 0"]


# Python code that a call runs forks the process: a signal handler run by the waiting caller's
# check, a collector callback run while it makes the result list, an item's __float__ run while
# the arguments convert. The child goes on with the call: it finishes it on its calling thread,
# or, when the parent's workers held the work, raises RuntimeError; it never waits for workers
# that are not in it: such a wait would never end, and Ctrl-C could not end it either.
FORK_DURING_A_CALL = """
    import gc, os, signal, sys, time, warnings, mirvanta
    trigger, function = TRIGGER_AND_FUNCTION
    l = [0.5 + i * 1e-6 for i in range(1_000_000)]
    if function == "grid":
        call, args = mirvanta.multi_witt_mao_magnification, (l[:100_000], [1.0, 2.0, 3.0], [0.1, 0.2])
    else:
        call, args = mirvanta.witt_mao_magnification, (l, 1.0, 0.1)
    expected = call(*args)
    forked, (read_end, write_end) = [], os.pipe()
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the pool's threads running

    def fork_once(*_):
        if not forked:
            pid = os.fork()
            forked.append(pid if pid else "child")

    class ForksWhenConverted:
        def __float__(self):
            fork_once()
            return 0.5

    if trigger == "signal":
        signal.signal(signal.SIGALRM, fork_once)
        signal.setitimer(signal.ITIMER_REAL, 0.02)
    elif trigger == "gc":
        # A collection is due at the call's first container (CPython 3.12 and later run it at the
        # next check of the evaluation breaker, which the waiting caller makes).
        gc.collect()
        gc.callbacks.append(lambda phase, info: fork_once())
        gc.set_threshold(1)
        pending = []
    else:
        l.append(ForksWhenConverted())
        expected.append(call([0.5], 1.0, 0.1)[0])
    try:
        outcome = "finished" if call(*args) == expected else "wrong results"
    except RuntimeError as error:
        outcome = str(error)
    gc.set_threshold(700)
    if forked[0] == "child":
        os.write(write_end, outcome.encode())
        os._exit(0)
    os.close(write_end)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not os.waitpid(forked[0], os.WNOHANG)[0]:
        time.sleep(0.01)
    else:
        if time.monotonic() >= deadline:
            os.kill(forked[0], signal.SIGKILL)
            os.waitpid(forked[0], 0)
    print("parent:", outcome)
    print("child:", os.read(read_end, 1000).decode() or "hung")
"""
ON_THE_WORKERS = ("mirvanta: this process was forked during the call, by code that the call ran (a signal handler "
                  "or a garbage-collector callback), while the worker pool computed it; the call cannot be finished "
                  "in the child process: call the function again there")


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs os.fork")
@pytest.mark.parametrize("trigger, function", [("signal", "batch"), ("signal", "grid"), ("gc", "batch"),
                                               ("float", "batch")])
def test_a_fork_during_a_call_leaves_no_child_waiting(trigger, function):
    script = FORK_DURING_A_CALL.replace("TRIGGER_AND_FUNCTION", repr((trigger, function)))
    parent, child = run_python(script, env={"RAYON_NUM_THREADS": "2"}, timeout=120).stdout.splitlines()
    assert parent == "parent: finished"
    # A fork before the workers took the call (the arguments' conversion; a signal that came
    # early) leaves the child to finish it; a fork while they compute, RuntimeError.
    assert child in ("child: finished", f"child: {ON_THE_WORKERS}")
    if trigger == "float":
        assert child == "child: finished"


# Daemon threads inside calls that run Python code (an item's __float__ that sleeps, a UserList
# iterated through Python) while the interpreter exits. On 3.11 to 3.13 CPython ends them with
# pthread_exit, whose unwinding passes through the module's frames.
DAEMONS_AT_EXIT = """
    import collections, threading, time, mirvanta

    class Slow:
        def __float__(self):
            time.sleep(0.0005)
            return 1.0

    items = [Slow() for _ in range(50)]

    def work(kind):
        while True:
            if kind == 0:
                mirvanta.witt_mao_magnification(items, 1.0, 0.1)
            else:
                mirvanta.witt_mao_magnification(collections.UserList([0.5] * 2000), 1.0, 0.1)

    for i in range(4):
        threading.Thread(target=work, args=(i % 2,), daemon=True).start()
    time.sleep(0.05)
    print("exiting")
"""


def test_daemon_threads_in_calls_at_interpreter_exit():
    # A fault here aborts or crashes most runs but not every one: ten clean runs in a row.
    for _ in range(10):
        result = run_python(DAEMONS_AT_EXIT, check=False, timeout=60)
        assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr[-2000:]
        assert "terminate" not in result.stderr and "FATAL" not in result.stderr


# Subinterpreters: the module's cached objects belong to the whole process, so every kind of
# subinterpreter is refused, and the main interpreter is unharmed afterwards. A shared-lock
# subinterpreter that loaded the module would fill the caches with its own objects, and the main
# interpreter's next not-a-sequence error would read freed memory (SIGSEGV under -X dev on 3.14).
SUBINTERPRETERS = '''
    import sys, textwrap
    CODE = textwrap.dedent("""
        try:
            import mirvanta
        except ImportError as error:
            print("refused:", error, flush=True)
        else:
            try:
                mirvanta.witt_mao_magnification(5, 1.0, 1.0)
            except TypeError:
                print("loaded", flush=True)
    """)
    try:
        import _interpreters
    except ImportError:  # 3.11 and 3.12: every subinterpreter shares the interpreter lock
        import _xxsubinterpreters as _interpreters
        configs = [None]
        create = lambda config: _interpreters.create()
        run = _interpreters.run_string
    else:
        configs = [_interpreters.new_config("isolated", gil="shared"), _interpreters.new_config("legacy"),
                   _interpreters.new_config("isolated")]
        create = _interpreters.create
        run = _interpreters.exec
    for config in configs:
        interpreter = create(config)
        run(interpreter, CODE)
        _interpreters.destroy(interpreter)
    import mirvanta
    try:
        mirvanta.witt_mao_magnification(5, 1.0, 1.0)
    except TypeError as error:
        print("main:", error, flush=True)
'''


def test_subinterpreters_are_refused_and_leave_the_main_interpreter_working():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    lines = run_python(SUBINTERPRETERS, timeout=60).stdout.splitlines()
    refusal = "refused: module mirvanta does not support loading in subinterpreters"
    assert lines[:-1] == [refusal] * (3 if sys.version_info >= (3, 13) else 1)
    assert lines[-1] == "main: 'int' object is not an instance of 'Sequence'"


def test_panic_exception_crosses_a_process_pool(mirvanta):
    # bl and bf of different lengths: an internal failure in the worker process reaches the
    # caller as the same exception, catchable by name.
    arguments = ([1.0], 1.0, 0.1, [0.5, 0.6], [1.0])
    with pytest.raises(mirvanta.PanicException) as local:
        mirvanta.discrete_flux_map_heyrovsky_magnification(*arguments)
    context = multiprocessing.get_context("spawn")
    pool = concurrent.futures.ProcessPoolExecutor(1, mp_context=context)
    try:
        future = pool.submit(mirvanta.discrete_flux_map_heyrovsky_magnification, *arguments)
        with pytest.raises(mirvanta.PanicException) as remote:
            future.result(timeout=120)
    except BaseException:  # a worker that hangs is ended, not waited for
        for process in list(pool._processes.values()):
            process.kill()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
    assert remote.value.args == local.value.args


# Calls under an address-space limit, from no headroom up to enough for the whole result, with a
# pool that runs (warm) or has yet to start (cold): each fails with MemoryError (never
# PanicException, nothing printed as unraisable) and keeps nothing of its partial result, or
# succeeds. Between 1 and 6 MB of headroom the allocation that fails can be one of the result's
# floats, which is a MemoryError like any other.
MEMORY_LIMIT = """
    import resource, sys, mirvanta

    def mapped():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

    separations = [0.5] * 200_000
    calls = [lambda: mirvanta.witt_mao_magnification(separations, 1.0, 0.1),
             lambda: mirvanta.multi_witt_mao_magnification(separations[:1000], [1.0] * 200, [0.1])]
    if WARM:
        for call in calls:
            call()  # the worker pool runs, and the first result's memory is back with the allocator
    else:  # the pool's start fails with a RuntimeWarning, whose machinery loads what it needs now
        import warnings
        warnings.warn("a warning before the limit", RuntimeWarning)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = set()
    for headroom in range(12):
        for call in calls:
            blocks = sys.getallocatedblocks()
            resource.setrlimit(resource.RLIMIT_AS, (mapped() + headroom * 2**20, hard))
            try:
                result = call()
            except BaseException as error:
                outcome = type(error).__name__
            else:
                outcome = "ok"
                del result
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            outcomes.add(outcome)
            assert sys.getallocatedblocks() - blocks < 1000, (headroom, outcome)
    print(sorted(outcomes))
"""


@needs_address_space_limit
@pytest.mark.parametrize("pool", ["warm", "cold"])
def test_memory_exhaustion_is_a_memory_error(pool):
    # Cold, the pool's start is tried under the limit, where its workers' stacks cannot be mapped,
    # and the calls compute on the calling thread: the outcomes are the warm pool's.
    script = MEMORY_LIMIT.replace("WARM", str(pool == "warm"))
    result = run_python(script, env={"RAYON_NUM_THREADS": "8"}, timeout=120)
    assert result.stdout.splitlines() == ["['MemoryError', 'ok']"]
    assert "unraisable" not in result.stderr and "panicked" not in result.stderr


# Without an interpreter lock, threads replace the items of lists that other threads are
# converting; every item is a float made at run time, so a read of a dropped item is a read of
# freed memory.
LISTS_CHANGED_BY_OTHER_THREADS = """
    import random, threading, mirvanta
    shared = [[float(i) for i in range(1000)] for _ in range(4)]
    stop = threading.Event()

    def mutate(values):
        while not stop.is_set():
            values[random.randrange(len(values))] = random.random() + 1.0
            values.append(random.random())
            values.pop(0)

    def convert(values):
        for _ in range(300):
            assert len(mirvanta.witt_mao_magnification(values, 1.0, 0.1)) in (1000, 1001)

    mutators = [threading.Thread(target=mutate, args=(values,)) for values in shared]
    converters = [threading.Thread(target=convert, args=(values,)) for values in shared]
    for thread in mutators + converters:
        thread.start()
    for thread in converters:
        thread.join()
    stop.set()
    for thread in mutators:
        thread.join()
    print("done")
"""


@pytest.mark.skipif(not __import__("sysconfig").get_config_var("Py_GIL_DISABLED"),
                    reason="needs a free-threaded build")
def test_lists_changed_by_other_threads_without_an_interpreter_lock():
    assert run_python(LISTS_CHANGED_BY_OTHER_THREADS, env={"PYTHON_GIL": "0"}, timeout=120).stdout == "done\n"
