"""NumPy arrays and array.array as input: the buffer of an exact float64 array is read directly,
and every other array goes item by item; either way the results and errors are those of the
item-by-item conversion."""

import array

import pytest

from conftest import FUNCTION_ORDER, FUNCTIONS, same_floats

np = pytest.importorskip("numpy")

VALUES = [0.0, 0.25, 1.0, 2.0, 7.5, float("inf"), float("nan"), -1.0, 1e300]


def reference(mirvanta, items):
    return mirvanta.witt_mao_magnification([float(x) for x in items], 1.0, 0.2)


@pytest.mark.parametrize("make", [
    lambda: np.array(VALUES),
    lambda: np.array(VALUES)[::2],                       # strided
    lambda: np.array(VALUES)[::-1],                      # negative stride
    lambda: np.array(VALUES, dtype=">f8"),               # byte-swapped: item by item
    lambda: np.array(VALUES[:-1], dtype=np.float32),     # another dtype: item by item
    lambda: np.array([0, 1, 2, 3], dtype=np.int64),
    lambda: np.array(VALUES, dtype=object),
    lambda: np.asfortranarray(np.array(VALUES)),
    lambda: np.array(VALUES).view(np.ndarray),
    lambda: np.frombuffer(np.array(VALUES).tobytes()),   # read-only
    lambda: array.array("d", VALUES),
    lambda: array.array("f", VALUES[:5]),
    lambda: array.array("i", [0, 1, 2]),
], ids=["float64", "strided", "reversed", "big-endian", "float32", "int64", "object", "fortran", "view",
        "read-only", "array-d", "array-f", "array-i"])
def test_arrays_give_the_item_by_item_results(mirvanta, make):
    values = make()
    assert same_floats(mirvanta.witt_mao_magnification(values, 1.0, 0.2), reference(mirvanta, list(values)))


def test_subclasses_are_iterated(mirvanta):
    class Reversing(np.ndarray):
        def __iter__(self):
            return iter(list(np.asarray(self))[::-1])

    values = np.array([0.5, 1.0, 4.0]).view(Reversing)
    assert mirvanta.witt_mao_magnification(values, 1.0, 0.2) == reference(mirvanta, [4.0, 1.0, 0.5])

    class Shorter(array.array):
        def __iter__(self):
            yield self[0]

    assert mirvanta.witt_mao_magnification(Shorter("d", [3.0, 4.0]), 1.0, 0.2) == reference(mirvanta, [3.0])


@pytest.mark.parametrize("make, error", [
    (lambda: np.array(2.0), TypeError),                  # 0-d: not iterable
    (lambda: np.zeros((2, 3)), TypeError),               # rows do not convert to float
    (lambda: np.array(["a", "b"]), TypeError),           # numpy.str_ items
])
def test_array_errors_are_those_of_iteration(mirvanta, make, error):
    with pytest.raises(error) as caught:
        mirvanta.witt_mao_magnification(make(), 1.0, 0.2)
    assert caught.value.__notes__ == ["while processing 'l'"]


def test_arrays_for_every_sequence_parameter(mirvanta):
    plain = {"l": [0.3, 2.0, 30.0], "r": [0.7], "re": [1.0, 2.0], "rstar": [0.1, 0.3],
             "bl": [0.0, 0.6, 1.0], "bf": [1.0, 0.8, 0.3]}
    for name in FUNCTION_ORDER:
        kinds = FUNCTIONS[name]
        args = [plain[parameter] if kind == "s" else plain[parameter][0] for parameter, kind in kinds.items()]
        arrays = [np.array(arg) if kind == "s" else arg for arg, kind in zip(args, kinds.values())]
        # repr: the same floats to the last bit, NaN included
        assert repr(getattr(mirvanta, name)(*arrays)) == repr(getattr(mirvanta, name)(*args)), name
