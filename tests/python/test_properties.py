"""Properties over generated inputs (hypothesis), for all eight functions.

- Hostile arguments give only the documented exceptions: each argument converts to exactly what
  Python's own iteration and float() make of it, or the first one that does not raises that
  exception, with the note naming its parameter. The module stays usable afterwards.
- Results are the same bits on a repeated call, and one element's value does not depend on the
  others; the uniform-disk functions never give a value below 1 (NaN marks what has none).
- The integrated flux maps refuse, with ValueError, exactly the maps that are not maps.
- The uniform disk behaves physically on valid inputs.

MIRVANTA_HYPOTHESIS_EXAMPLES sets the number of examples per test (default 40).
"""

import array
import collections
import ctypes
import decimal
import fractions
import math
import os

import mpmath

import pytest

from conftest import (FLUX_MAPS, FUNCTION_ORDER, FUNCTIONS, FloatLike, IndexLike, point_source, same_floats,
                      witt_mao_closed_form)

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

try:
    import numpy
except ImportError:
    numpy = None

EXAMPLES = int(os.environ.get("MIRVANTA_HYPOTHESIS_EXAMPLES", "40"))
examples = settings(max_examples=EXAMPLES, deadline=None, database=None, print_blob=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

KINDS = {name: "".join(parameters.values()) for name, parameters in FUNCTIONS.items()}
RAISE_FROM_RINGS = {"heyrovsky_magnification", "discrete_flux_map_heyrovsky_magnification"}
INTEGRATED_MAPS = {"integrated_flux_map_witt_mao_magnification", "integrated_flux_map_heyrovsky_magnification"}
# Built on the uniform disk, whose magnification is at least 1 (the ring-derivative form is no
# physical magnification, and the discrete map's weights are the caller's).
AT_LEAST_ONE = {"witt_mao_magnification", "multi_witt_mao_magnification", "integrated_witt_mao_magnification",
                "integrated_flux_map_witt_mao_magnification"}
ELLIPTIC_TEXTS = {f"{name}: {text}" for name in ("ellipk", "ellippi")
                  for text in ("Arguments cannot be NAN.", "m must not be greater than 1.", "Unexpected error.")}
ELLIPTIC_TEXTS.add("ellippi: n cannot be 1.")

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]


class Hostile(Exception):
    """Raised by the test's own objects; it must reach the caller unchanged."""


class Arg:
    """How to make one argument afresh (some are used up by a call), shown by its label."""

    def __init__(self, label, make):
        self.label, self.make = label, make

    def __repr__(self):
        return self.label


# -- The reference conversions: the interpreter's own view of an argument ---------------------

def reference_float(value):
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError("not a real number")  # float() would parse text; the module does not
    if isinstance(value, float):
        return float.__float__(value)  # the stored value of a float subclass, without __float__
    return float(value)


def reference_sequence(value):
    if isinstance(value, str) or not _sequence_check(value):
        raise TypeError("not a sequence")
    return [reference_float(item) for item in iter(value)]


def reference_arguments(function, args):
    """The converted values, or (exception, parameter) for the first argument that fails."""
    values = []
    for (parameter, kind), arg in zip(FUNCTIONS[function.__name__].items(), args):
        try:
            values.append(reference_sequence(arg.make()) if kind == "s" else reference_float(arg.make()))
        except Exception as error:
            return None, (error, parameter)
    return values, None


# -- Hostile numbers and sequences --------------------------------------------------------------

class FloatSubclass(float):
    def __float__(self):  # not called: the stored value is what a float subclass converts to
        raise Hostile("__float__ of a float subclass")


class IndexOnly:
    """A sequence by __getitem__ alone, read by index until IndexError."""

    def __init__(self, items, fail_at=None, length=None):
        self.items, self.fail_at, self.length = items, fail_at, length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise Hostile(f"__getitem__({index})")
        return self.items[index]

    def __len__(self):  # only a hint to the module, and a liar here
        if self.length is None:
            raise Hostile("__len__")
        return self.length


class BreakingIterator(IndexOnly):
    def __iter__(self):
        yield from self.items[:self.fail_at]
        raise Hostile(f"__iter__ after {self.fail_at}")


class ReversedList(list):
    """A list subclass whose own iteration order must be honoured."""

    def __iter__(self):
        return reversed(self[:])


class Mutator:
    """An item whose conversion changes the list that holds it, once."""

    ACTIONS = {
        "clear": lambda items: items.clear(),
        "pop": lambda items: items and items.pop(),
        "append": lambda items: items.append(0.25),
        "extend": lambda items: items.extend([3.5, 4.5]),
        "insert at 0": lambda items: items.insert(0, 7.0),
        "replace all": lambda items: items.__setitem__(slice(None), [x + 0.5 for x in range(len(items))]),
        "delete the rest": lambda items: items.__delitem__(slice(1, None)),
    }

    def __init__(self, action, value):
        self.action, self.value, self.owner = action, value, None

    def __float__(self):
        owner, self.owner = self.owner, None
        if owner is not None:
            self.ACTIONS[self.action](owner)
        return self.value


def mutating_list(layout):
    """A fresh list of floats and mutators; layout holds floats and (action, value) pairs."""
    items = [Mutator(*entry) if isinstance(entry, tuple) else entry for entry in layout]
    for item in items:
        if isinstance(item, Mutator):
            item.owner = items
    return items


reals = st.floats() | st.floats(-1e3, 1e3)
hostile_number_values = st.one_of(
    reals,
    st.integers(-2**1100, 2**1100),
    st.booleans(),
    st.fractions(),
    st.decimals(places=None) | st.sampled_from([decimal.Decimal("sNaN"), decimal.Decimal("-Infinity")]),
    st.builds(FloatLike, reals | st.builds(Hostile, st.just("__float__")) | st.just("not a float")),
    st.builds(IndexLike, st.integers(-2**70, 2**70)),
    st.builds(FloatSubclass, reals),
    st.sampled_from([1j, "1.5", b"2", None, [1.0], (2.0,), object()]),
)
if numpy is not None:
    hostile_number_values |= st.builds(numpy.float32, st.floats(width=32)) | st.builds(numpy.int64, st.integers(-2**63, 2**63 - 1))


def number_args():
    return hostile_number_values.map(lambda value: Arg(repr(value), lambda: value))


def as_arg(kind, values, make):
    return Arg(f"{kind}({values!r})", make)


item_values = reals | hostile_number_values
short = dict(max_size=5)


def float32_array(values):
    with numpy.errstate(over="ignore"):  # huge values become infinities, as intended
        return numpy.array(values, dtype=numpy.float32)


@st.composite
def sequence_args(draw, size=None):
    """A sequence argument; `size` fixes the number of plain items for the containers that
    hold any, so that the flux map's two sequences can be drawn of one length."""
    sized = dict(min_size=size, max_size=size) if size is not None else short
    floats = draw(st.lists(reals, **sized))
    items = draw(st.lists(item_values, **sized))
    kind = draw(st.sampled_from([
        "list", "tuple", "deque", "index only", "lying length", "failing __getitem__", "breaking __iter__",
        "reversed list", "mutating list", "array d", "array i", "bytes", "range", "memoryview",
        "numpy", "numpy strided", "numpy big-endian", "numpy float32", "numpy int", "numpy 2-d",
        "str", "generator", "dict", "set", "None", "number", "iterator",
    ]))
    if kind == "list":
        return as_arg(kind, items, lambda: list(items))
    if kind == "tuple":
        return as_arg(kind, items, lambda: tuple(items))
    if kind == "deque":
        return as_arg(kind, items, lambda: collections.deque(items))
    if kind == "index only":
        return as_arg(kind, items, lambda: IndexOnly(items, length=len(items)))
    if kind == "lying length":
        length = draw(st.sampled_from([None, 0, -1, 2**62, 10**30]) | st.integers(0, 10))
        return as_arg(f"length {length}", items, lambda: IndexOnly(items, length=length))
    if kind in ("failing __getitem__", "breaking __iter__"):
        at = draw(st.integers(0, len(items)))
        container = IndexOnly if kind == "failing __getitem__" else BreakingIterator
        return as_arg(f"{kind} at {at}", items, lambda: container(items, fail_at=at, length=len(items)))
    if kind == "reversed list":
        return as_arg(kind, items, lambda: ReversedList(items))
    if kind == "mutating list":
        mutators = st.tuples(st.sampled_from(sorted(Mutator.ACTIONS)), reals)
        layout = draw(st.lists(reals | mutators, min_size=1, max_size=6))
        return as_arg(kind, layout, lambda: mutating_list(layout))
    if kind == "array d":
        return as_arg(kind, floats, lambda: array.array("d", floats))
    if kind == "array i":
        ints = draw(st.lists(st.integers(-2**31, 2**31 - 1), **sized))
        return as_arg(kind, ints, lambda: array.array("i", ints))
    if kind in ("bytes", "memoryview"):
        data = draw(st.binary(**sized))
        return as_arg(kind, data, (lambda: data) if kind == "bytes" else (lambda: memoryview(data)))
    if kind == "range":
        start, stop, step = draw(st.integers(-5, 5)), draw(st.integers(-5, 5)), draw(st.sampled_from([1, 2, -1]))
        return Arg(f"range({start}, {stop}, {step})", lambda: range(start, stop, step))
    if kind.startswith("numpy"):
        if numpy is None:
            return as_arg("list", floats, lambda: list(floats))
        makers = {
            "numpy": lambda: numpy.array(floats, dtype=float),
            "numpy strided": lambda: numpy.array(floats + floats, dtype=float)[::2],
            "numpy big-endian": lambda: numpy.array(floats, dtype=">f8"),
            "numpy float32": lambda: float32_array(floats),
            "numpy int": lambda: numpy.array([int(x) if abs(x) < 2**62 else 0 for x in floats], dtype=numpy.int64),
            "numpy 2-d": lambda: numpy.array(floats + floats, dtype=float).reshape(2, -1),
        }
        return as_arg(kind, floats, makers[kind])
    refused = {
        "str": lambda: "".join(map(str, floats)),
        "generator": lambda: (x for x in floats),
        "dict": lambda: dict.fromkeys(floats),
        "set": lambda: set(floats),
        "None": lambda: None,
        "number": lambda: 5,
        "iterator": lambda: iter(floats),
    }
    return as_arg(kind, floats, refused[kind])


@st.composite
def hostile_calls(draw, name):
    args = []
    for kind in KINDS[name][:3]:
        plain = draw(st.booleans())  # a plain float or list half the time, so calls get through
        if kind == "f":
            args.append(Arg(repr(x := draw(reals)), lambda x=x: x) if plain else draw(number_args()))
        else:
            values = draw(st.lists(reals, max_size=4 if name.startswith("multi") and args else 6))
            args.append(Arg(repr(values), lambda v=values: list(v)) if plain else draw(sequence_args()))
    if name in FLUX_MAPS:
        size = draw(st.integers(0, 5))
        other = draw(st.integers(0, 5) | st.just(size))
        args += [draw(sequence_args(size)), draw(sequence_args(other))]
    else:
        args += [draw(number_args()) for _ in KINDS[name][3:]]
    return args


# -- What the module must do with them ----------------------------------------------------------

def outcome(call):
    """('value', result) or ('raised', exception) of a call, catching what Python can see."""
    try:
        return "value", call()
    except BaseException as error:  # PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return "raised", error


def is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def check_result_shape(name, values, result):
    if name == "heyrovsky_magnification":
        assert type(result) is float
        return
    rows = [result]
    if name == "multi_witt_mao_magnification":
        assert type(result) is list and len(result) == len(values[1]) * len(values[2])
        rows = result
    for row in rows:
        assert type(row) is list and len(row) == len(values[0])
        assert all(type(x) is float for x in row)


def map_refusal(bl, bf):
    """What the integrated flux maps refuse, read off the definition of a map: ("bl", i) or
    ("bf", i) for the first radius that is not finite or lies below the one before it, or the
    first brightness that is not finite and at least 0; "empty" for no radius; "no flux" when no
    part of the disk between radii 0 and 1 is bright; "either" for a map whose flux is too small
    for a double, or whose brightness on the disk is below the rounding of the brightest value
    (the module interpolates in doubles: it may take such a map or refuse it); None for a map."""
    for i, r in enumerate(bl):
        if not math.isfinite(r) or (i > 0 and r < bl[i - 1]):
            return "bl", i
    for i, b in enumerate(bf):
        if not 0 <= b < math.inf:
            return "bf", i
    if not bl:
        return "empty"
    # The flux of the map over the disk, int 2 x brightness(x) dx between radii 0 and 1, exactly.
    exact = fractions.Fraction
    flux = exact(bf[0]) if len(bl) == 1 else exact(0)
    brightest_on_disk = flux
    for r0, r1, b0, b1 in zip(bl, bl[1:], bf, bf[1:]):
        a, b = exact(max(r0, 0.0)), exact(min(r1, 1.0))
        if a < b:
            slope = (exact(b1) - exact(b0)) / (exact(r1) - exact(r0))
            value = exact(b0) - exact(r0) * slope  # the brightness is value + slope x there
            flux += value * (b * b - a * a) + 2 * slope * (b ** 3 - a ** 3) / 3
            brightest_on_disk = max(brightest_on_disk, value + slope * a, value + slope * b)
    if flux == 0:
        return "no flux"
    # (exactly: the products in floats would underflow to 0 for a tiny map)
    faint = flux < fractions.Fraction(1, 10**280) * exact(max(bf))
    unresolved = brightest_on_disk < exact(2.0 ** -52) * exact(max(bf))
    return "either" if faint or unresolved else None


def check_refusal(error, refusal):
    assert type(error) is ValueError and len(error.args) == 1, error
    text = error.args[0]
    if refusal == "empty":
        assert text.startswith("bl and bf are empty"), text
    elif refusal in ("no flux", "either"):
        assert text.startswith("bf gives the source no flux"), text
    else:
        argument, index = refusal
        assert text.startswith(f"{argument} must ") and text.endswith(f" is at index {index}"), text


def check_plain_call(function, values):
    """Calls with plain floats and lists: only the documented failures, the same bits twice."""
    name = function.__name__
    first = outcome(lambda: function(*values))
    second = outcome(lambda: function(*values))
    if name in FLUX_MAPS and len(values[3]) != len(values[4]):
        assert first[0] == "raised" and is_panic(first[1]), first
        assert first[1].args == (f"assertion `left == right` failed\n  left: {len(values[3])}\n right: {len(values[4])}",)
    elif name in INTEGRATED_MAPS and (refusal := map_refusal(values[3], values[4])) is not None and (
            refusal != "either" or first[0] == "raised"):
        assert first[0] == "raised", (refusal, first)
        check_refusal(first[1], refusal)
    elif first[0] == "raised":
        assert name in RAISE_FROM_RINGS and type(first[1]) is RuntimeError, first
        assert len(first[1].args) == 1 and first[1].args[0] in ELLIPTIC_TEXTS
    else:
        check_result_shape(name, values, first[1])
        if name in AT_LEAST_ONE:
            rows = first[1] if name == "multi_witt_mao_magnification" else [first[1]]
            assert all(math.isnan(x) or x >= 1 - 1e-12 for row in rows for x in row), (values, first[1])
    assert same_outcome(first, second)
    return first


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raised":
        return type(a[1]) is type(b[1]) and a[1].args == b[1].args
    if isinstance(a[1], float):
        return same_floats([a[1]], [b[1]])
    if a[1] and isinstance(a[1][0], list):
        return len(a[1]) == len(b[1]) and all(same_floats(x, y) for x, y in zip(a[1], b[1]))
    return same_floats(a[1], b[1])


def check_still_usable(mirvanta):
    # References by hand: a source centred on the lens, sqrt(rho^2 + 4)/rho; a ring centred on
    # the lens, the point source at r/q.
    assert math.isclose(mirvanta.witt_mao_magnification([0.0], 1.0, 0.1)[0], math.sqrt(4.01) / 0.1, rel_tol=1e-14)
    assert math.isclose(mirvanta.heyrovsky_magnification(0.0, 1.0, 1.0, 1.0), point_source(1.0), rel_tol=1e-14)


@pytest.mark.parametrize("name", FUNCTION_ORDER)
@examples
@given(data=st.data())
def test_hostile_arguments_give_only_documented_exceptions(mirvanta, name, data):
    function = getattr(mirvanta, name)
    args = data.draw(hostile_calls(name), label="arguments")
    values, failure = reference_arguments(function, args)
    actual = outcome(lambda: function(*[arg.make() for arg in args]))
    if failure is not None:
        error, parameter = failure
        hypothesis.event(f"{type(error).__name__} for {parameter}")
        assert actual[0] == "raised", f"expected {error!r} for {parameter!r}, got {actual[1]!r}"
        assert type(actual[1]) is type(error), (actual[1], error)
        if isinstance(error, Hostile):
            assert actual[1].args == error.args
        assert actual[1].__notes__ == [f"while processing '{parameter}'"]
    else:
        hypothesis.event("converted")
        # Converted by the module exactly as Python reads them: the same outcome as plain values.
        assert same_outcome(actual, check_plain_call(function, values)), (actual, values)
    check_still_usable(mirvanta)


finite_or_not = st.floats() | st.floats(-20, 20) | st.floats(0, 5)


@pytest.mark.parametrize("name", FUNCTION_ORDER)
@examples
@given(data=st.data())
def test_elements_are_independent_and_repeatable(mirvanta, name, data):
    """Any floats at all: NaN, infinities, subnormals, huge and negative values. Each element
    of a result depends on its own separation only, so reversing l reverses the result."""
    function = getattr(mirvanta, name)
    values = []
    for position, kind in enumerate(KINDS[name]):
        if kind == "f":
            values.append(data.draw(finite_or_not))
        elif position == 0 or not name.startswith("multi"):
            values.append(data.draw(st.lists(finite_or_not, max_size=6)))
        else:
            values.append(data.draw(st.lists(finite_or_not, min_size=1, max_size=3)))
    if name in FLUX_MAPS:
        values[4] = (values[4] + values[3])[:len(values[3])]  # of equal length
    result = check_plain_call(function, values)
    if KINDS[name][0] != "s" or result[0] == "raised":
        return
    reversed_result = outcome(lambda: function(values[0][::-1], *values[1:]))
    rows = result[1] if name == "multi_witt_mao_magnification" else [result[1]]
    reversed_rows = reversed_result[1] if name == "multi_witt_mao_magnification" else [reversed_result[1]]
    assert all(same_floats(row[::-1], other) for row, other in zip(rows, reversed_rows))
    if name == "multi_witt_mao_magnification":
        # row (j, k) is the single-pair function at re_j, rstar_k
        pairs = [(re, rstar) for re in values[1] for rstar in values[2]]
        assert all(same_floats(row, mirvanta.witt_mao_magnification(values[0], *pair)) for row, pair in zip(rows, pairs))


# -- Physics of the uniform disk, over ρ from 1e-10 to 10 and u/ρ up to 1e12 --------------------

separations = st.lists(st.just(0.0) | st.floats(0, 3) | st.floats(-3, 12).map(lambda e: 10.0**e),
                       min_size=1, max_size=40)


@examples
@given(rho_exponent=st.floats(-10, 1), re=st.floats(1e-3, 1e3), l=separations)
def test_uniform_disk_physics(mirvanta, rho_exponent, re, l):
    rstar = 10.0**rho_exponent * re
    rho = rstar / re  # as the module forms it
    l = sorted(l)
    magnification = mirvanta.witt_mao_magnification(l, re, rstar)
    outside = []
    for x, a in zip(l, magnification):
        u = x * rho
        # A lensed source is never dimmer than the source itself.
        assert a >= 1.0, (u, rho, a)
        if u > rho:
            outside.append((u, a))
        if x >= 2:
            # Toward a point source as rho/u -> 0: the finite-source term is at most (rho/u)^2
            # (about rho^2/(8u^2) for u << 1 from the mean over the disk of a 1/u magnification).
            assert abs(a / point_source(u) - 1) <= (rho / u) ** 2 + 1e-9, (u, rho, a)
        if x >= 10 and u >= 10:
            # Toward 1 as u -> oo: the point source exceeds 1 by about 2/u^4.
            assert a - 1 <= 3 / u**4 + 1e-9, (u, rho, a)
    # Decreasing in u with the lens outside the source, to within the kernel's error (1e-12).
    for (u1, a1), (u2, a2) in zip(outside, outside[1:]):
        assert a2 <= a1 * (1 + 2e-12), (u1, u2, rho, a1, a2)


@examples
@given(rho_exponent=st.floats(-7, 2), x_exponent=st.floats(-16, -1), side=st.sampled_from([1.0, -1.0]))
def test_uniform_disk_through_the_limb(mirvanta, rho_exponent, x_exponent, side):
    """Within 1e-12 of mpmath's closed form on both sides of the limb, down to |u - rho| = 1e-16 rho
    (u = rho itself when that rounds away)."""
    rho = 10.0**rho_exponent
    l = 1.0 + side * 10.0**x_exponent
    u = l * rho  # as the batch forms it
    value = mirvanta.witt_mao_magnification([l], 1.0, rho)[0]
    x = abs(u - rho) / rho
    dps = 60 + (2 * int(-math.log10(x)) if x > 0 else 0)
    if u != rho:
        reference = witt_mao_closed_form(u, rho, dps=dps)
    else:  # the value on the limb, (2/rho + (1 + 1/t)(asin((t - 1)/(t + 1)) + pi/2))/pi, t = rho^2
        with mpmath.workdps(dps):
            t = mpmath.mpf(rho) ** 2
            reference = (2 / mpmath.mpf(rho) + (1 + 1 / t) * (mpmath.asin((t - 1) / (t + 1)) + mpmath.pi / 2)) / mpmath.pi
    assert abs(value / reference - 1) <= 1e-12, (u, rho, value)
