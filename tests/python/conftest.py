"""Shared helpers: independent references computed with mpmath."""

import math
import os
import signal
import subprocess
import sys
import textwrap

import mpmath
import pytest

# The module's functions in table order, each with its parameters in order and their kinds: "s" a
# sequence of numbers, "f" a number. Every test that needs a signature reads it from here.
FUNCTIONS = {
    "witt_mao_magnification": {"l": "s", "re": "f", "rstar": "f"},
    "integrated_witt_mao_magnification": {"l": "s", "re": "f", "rstar": "f"},
    "integrated_flux_map_witt_mao_magnification": {"l": "s", "re": "f", "rstar": "f", "bl": "s", "bf": "s"},
    "multi_witt_mao_magnification": {"l": "s", "re": "s", "rstar": "s"},
    "heyrovsky_magnification": {"l": "f", "r": "f", "re": "f", "rstar": "f"},
    "integrated_heyrovsky_magnification": {"l": "s", "re": "f", "rstar": "f"},
    "integrated_flux_map_heyrovsky_magnification": {"l": "s", "re": "f", "rstar": "f", "bl": "s", "bf": "s"},
    "discrete_flux_map_heyrovsky_magnification": {"l": "s", "re": "f", "rstar": "f", "bl": "s", "bf": "s"},
}
FUNCTION_ORDER = list(FUNCTIONS)
FLUX_MAPS = [name for name, parameters in FUNCTIONS.items() if "bf" in parameters]


class FloatLike:
    """A number by __float__ only; a BaseException given as its value is raised instead."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IndexLike:
    """An integer by __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def point_source(u):
    """Point-source magnification at u Einstein radii (for floats and for mpf)."""
    sqrt = mpmath.sqrt if isinstance(u, mpmath.mpf) else math.sqrt
    return (u * u + 2) / (u * sqrt(u * u + 4))


def ring_mean(l, r, q, dps=30):
    """Mean of the point-source magnification over a ring of radius r whose centre is l from the
    lens (both in source radii), q the Einstein radius in source radii, by quadrature in angle."""
    with mpmath.workdps(dps):
        l, r, q = mpmath.mpf(l), mpmath.mpf(r), mpmath.mpf(q)

        def magnification(phi):
            u = mpmath.sqrt(max(l * l + r * r - 2 * l * r * mpmath.cos(phi), 0)) / q
            # A node on the lens itself (distance lost to rounding) carries no weight.
            return point_source(u) if u != 0 else mpmath.mpf(0)

        # The integrand peaks sharply at phi = 0 when the lens is close to the ring.
        gap = abs(l - r) / max(l, r, mpmath.mpf(1e-30))
        points = [0] + [p for p in (gap / 10, gap, 10 * gap, mpmath.mpf("0.1")) if 0 < p < 1] + [mpmath.pi]
        return mpmath.quad(magnification, sorted(set(points))) / mpmath.pi


def uniform_disk(u, rho, dps=20):
    """Magnification of a uniform disk of radius rho at u (Einstein radii): the area average of
    ring means, 2/rho^2 int_0^rho r <A>_ring(r) dr, by nested quadrature."""
    with mpmath.workdps(dps):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)

        def weighted_ring(r):
            return r * ring_mean(u, r, 1, dps=dps)

        breaks = [0, rho] if not 0 < u < rho else [0, u, rho]
        return 2 * mpmath.quad(weighted_ring, breaks) / rho**2


def limb_darkened_disk(l, rho, brightness, dps=15, kinks=()):
    """Magnification of a source of radial brightness profile `brightness` (a function of the
    radius fraction r, for mpf; not smooth at `kinks`) at l source radii from the lens, rho the
    source radius in Einstein radii: int r I(r) <A>_ring(r) dr / int r I(r) dr, by nested
    quadrature."""
    with mpmath.workdps(dps):
        q = 1 / mpmath.mpf(rho)
        points = sorted({0, 1, *kinks} | ({l} if 0 < l < 1 else set()))
        magnified = mpmath.quad(lambda r: r * brightness(r) * ring_mean(l, r, q, dps=dps), points)
        return magnified / mpmath.quad(lambda r: r * brightness(r), sorted({0, 1, *kinks}))


def witt_mao_closed_form(u, rho, dps=60):
    """The uniform-disk magnification by the closed form of Witt and Mao in mpmath's own elliptic
    integrals. Its terms cancel far from the source, to about 10^-dps (u/rho)^2: harmless at 60
    digits up to u/rho = 1e12 (it agrees with 100 digits to 1e-37 there)."""
    with mpmath.workdps(dps):
        u, rho = mpmath.mpf(u), mpmath.mpf(rho)
        d, s, t = u - rho, u + rho, rho * rho
        g = mpmath.sqrt(4 + d * d)
        n = 4 * u * rho / (s * s)
        m = 4 * n / (4 + d * d)
        value = (s * g / (2 * t) * mpmath.ellipe(m) - d * (8 + u * u - t) / (2 * t * g) * mpmath.ellipk(m)
                 + 2 * d * d * (1 + t) / (t * s * g) * mpmath.ellippi(n, m)) / mpmath.pi
        return +value


# tests/sanitize runs this suite with AddressSanitizer's runtime preloaded. It reserves its shadow
# memory up front, and an allocation that fails aborts the process instead of throwing, so a test
# that limits the address space to make allocations fail cannot run there.
needs_address_space_limit = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="limits the address space, which AddressSanitizer reserves up front")


def run_process(argv, env=None, timeout=300, **kwargs):
    """Runs argv in a session of its own and ends every process left in that session when it
    returns, after `timeout` seconds at the latest: a child that forked and hangs cannot hold the
    run. Returns the completed process; raises subprocess.TimeoutExpired with what was read."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                               start_new_session=True, **kwargs)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        stdout, stderr = process.communicate()
        raise subprocess.TimeoutExpired(argv, timeout, stdout, stderr) from None
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)  # whatever it left behind
        except ProcessLookupError:
            pass
    return subprocess.CompletedProcess(argv, process.returncode, stdout, stderr)


def run_python(code, env=None, check=True, timeout=300):
    """Runs `code` in a fresh interpreter (the same one), returning the completed process."""
    environment = dict(os.environ)
    environment.update(env or {})
    result = run_process([sys.executable, "-X", "dev", "-c", textwrap.dedent(code)], env=environment, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def same_floats(a, b):
    """Element-wise identity of two float lists, NaN equal to NaN and -0.0 distinct from 0.0."""
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or (x == y and math.copysign(1, x) == math.copysign(1, y))
        for x, y in zip(a, b))


@pytest.fixture(scope="session")
def mirvanta():
    import mirvanta as module
    return module


def pytest_collection_modifyitems(items):
    # The JAX tests last: JAX's backend, once started, runs threads of its own, and the tests that
    # fork the interpreter must not fork a process with threads it did not start.
    items.sort(key=lambda item: item.path.name == "test_jax.py")
