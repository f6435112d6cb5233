"""Conversion of arguments: which objects are accepted, what is refused and with which error,
and hostile objects that must neither crash the interpreter nor leak."""

import array
import collections
import fractions
import math

import pytest

from conftest import FUNCTION_ORDER, FUNCTIONS, FloatLike, IndexLike, needs_address_space_limit, run_python, same_floats

VALUES = [0.0, 1.0, 2.5, 10.0]


class IndexOnly:
    """A sequence by __getitem__ alone, iterated by index until IndexError."""

    def __init__(self, values):
        self.values = values

    def __getitem__(self, index):
        return self.values[index]


class LyingLength(IndexOnly):
    def __init__(self, values, length):
        super().__init__(values)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class BadIterator(IndexOnly):
    """Its iterator raises after two items."""

    def __iter__(self):
        yield from self.values[:2]
        raise ValueError("iterator broke")


class RaisesInGetItem(IndexOnly):
    def __getitem__(self, index):
        if index == 2:
            raise KeyError("not an IndexError")
        return self.values[index]


class FloatSubclass(float):
    pass


@pytest.mark.parametrize("make", [
    list, tuple, lambda v: array.array("d", v), lambda v: IndexOnly(v), lambda v: collections.deque(v),
    lambda v: LyingLength(v, 10**6), lambda v: LyingLength(v, 0), lambda v: LyingLength(v, -5),
    lambda v: LyingLength(v, 2**62), lambda v: LyingLength(v, 10**30), lambda v: LyingLength(v, ValueError("no")),
    lambda v: [FloatSubclass(x) for x in v], lambda v: [FloatLike(x) for x in v],
    lambda v: [fractions.Fraction(x) for x in v],
], ids=["list", "tuple", "array", "getitem-only", "deque", "len-too-large", "len-zero", "len-negative",
        "len-huge", "len-overflow", "len-raises", "float-subclass", "dunder-float", "fraction"])
def test_sequences_are_read_by_iteration(mirvanta, make):
    expected = mirvanta.witt_mao_magnification(VALUES, 1.0, 0.1)
    assert same_floats(mirvanta.witt_mao_magnification(make(VALUES), 1.0, 0.1), expected)


def test_ints_bools_ranges_and_bytes(mirvanta):
    expected = mirvanta.witt_mao_magnification([0.0, 1.0, 2.0], 1.0, 0.5)
    assert mirvanta.witt_mao_magnification(range(3), 1, 0.5) == expected
    assert mirvanta.witt_mao_magnification(bytes([0, 1, 2]), True, 0.5) == expected
    assert mirvanta.witt_mao_magnification([False, True, 2], 1.0, 0.5) == expected
    assert mirvanta.heyrovsky_magnification(1, 2, IndexLike(3), True) == mirvanta.heyrovsky_magnification(1.0, 2.0, 3.0, 1.0)


def test_non_finite_values_pass_through(mirvanta):
    result = mirvanta.witt_mao_magnification([math.nan, math.inf, -math.inf, 0.0], 1.0, 0.0)
    assert len(result) == 4 and all(type(x) is float for x in result)
    assert math.isnan(result[0]) and math.isnan(result[1]) and math.isnan(result[2])
    assert result[3] == math.inf


class StrSubclass(str):
    pass


def generator():
    yield 1.0


@pytest.mark.parametrize("value, message", [
    ("abc", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    (StrSubclass("1"), "Can't extract `str` to `Vec`"),
    (5, "'int' object is not an instance of 'Sequence'"),
    (5.0, "'float' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
    ({1.0: 2.0}, "'dict' object is not an instance of 'Sequence'"),
    ({1.0}, "'set' object is not an instance of 'Sequence'"),
    (generator(), "'generator' object is not an instance of 'Sequence'"),
    (iter([1.0]), "'list_iterator' object is not an instance of 'Sequence'"),
    (FloatLike(1.0), "'FloatLike' object is not an instance of 'Sequence'"),
])
def test_refused_sequences(mirvanta, value, message):
    with pytest.raises(TypeError) as caught:
        mirvanta.witt_mao_magnification(value, 1.0, 1.0)
    assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'l'"]


def test_refused_before_any_item_is_read(mirvanta):
    read = []

    def tracking():
        read.append(1)
        yield 1.0

    with pytest.raises(TypeError):
        mirvanta.witt_mao_magnification(tracking(), 1.0, 1.0)
    assert read == []


@pytest.mark.parametrize("value, exception, text", [
    ([1.0, "x"], TypeError, "must be real number, not str"),
    ([1.0, None], TypeError, "must be real number, not NoneType"),
    ([1.0, 10**400], OverflowError, "int too large to convert to float"),
    ([FloatLike(ZeroDivisionError("boom"))], ZeroDivisionError, "boom"),
    ([FloatLike("not a float")], TypeError, None),
    (BadIterator([1.0, 2.0, 3.0]), ValueError, "iterator broke"),
    (RaisesInGetItem([1.0, 2.0, 3.0]), KeyError, "'not an IndexError'"),
])
def test_item_failures_keep_their_exception(mirvanta, value, exception, text):
    with pytest.raises(exception) as caught:
        mirvanta.witt_mao_magnification(value, 1.0, 1.0)
    assert type(caught.value) is exception
    if text is not None:
        assert str(caught.value) == text
    assert caught.value.__notes__ == ["while processing 'l'"]


class Refused(Exception):
    """Raised by a number's __float__; it must reach the caller unchanged."""


@pytest.mark.parametrize("name, parameter", [(name, parameter) for name in FUNCTION_ORDER
                                             for parameter in FUNCTIONS[name]])
def test_the_note_names_the_first_failing_parameter(mirvanta, name, parameter):
    # Valid arguments before the failing one (empty sequences: nothing is skipped for them), and
    # failing ones after it, which must not be the one named.
    kinds = list(FUNCTIONS[name].values())
    position = list(FUNCTIONS[name]).index(parameter)
    args = [[] if kind == "s" else 1.0 for kind in kinds[:position]]
    args.append("abc" if kinds[position] == "s" else FloatLike(Refused(parameter)))
    args += [{1.0} if kind == "s" else "x" for kind in kinds[position + 1:]]
    with pytest.raises(TypeError if kinds[position] == "s" else Refused) as caught:
        getattr(mirvanta, name)(*args)
    if kinds[position] == "s":
        assert str(caught.value) == "Can't extract `str` to `Vec`"
    else:
        assert caught.value.args == (parameter,)
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_existing_notes_are_kept(mirvanta):
    error = ValueError("with a note")
    error.add_note("first")
    with pytest.raises(ValueError) as caught:
        mirvanta.witt_mao_magnification([FloatLike(error)], 1.0, 1.0)
    assert caught.value is error
    assert caught.value.__notes__ == ["first", "while processing 'l'"]


def test_note_failure_keeps_the_original_exception(mirvanta):
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("cannot take notes")

    with pytest.raises(NoNotes) as caught:
        mirvanta.witt_mao_magnification([FloatLike(NoNotes("original"))], 1.0, 1.0)
    assert str(caught.value) == "original"
    assert not hasattr(caught.value, "__notes__")


def test_a_list_mutated_while_it_is_read(mirvanta):
    values = [1.0, 2.0, 3.0]

    class Shrinking:
        def __float__(self):
            values.clear()
            return 5.0

    values.insert(1, Shrinking())
    # The iteration sees the list as it is at each step: 1.0, then the mutating item, then the end.
    assert mirvanta.witt_mao_magnification(values, 1.0, 0.1) == mirvanta.witt_mao_magnification([1.0, 5.0], 1.0, 0.1)


@needs_address_space_limit
def test_allocation_failure_is_a_memory_error():
    # Under a small address-space limit, reserving the doubles of a long list fails; the call
    # must raise MemoryError, not abort, and the interpreter must go on.
    result = run_python("""
        import resource, mirvanta
        values = [0.5] * 30_000_000          # 240 MB of pointers, all to one float
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 100_000_000, hard))
        try:
            mirvanta.witt_mao_magnification(values, 1.0, 0.1)
        except MemoryError:
            print("memory error")
        print(mirvanta.witt_mao_magnification([0.5], 1.0, 0.1)[0] > 1)
    """)
    assert result.stdout.split() == ["memory", "error", "True"]
