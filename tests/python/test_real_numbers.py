"""Values that are not real numbers are refused wherever a number or an array of numbers is taken,
as NumPy's real-only functions refuse them; every kind of real number converts as float() does."""

import array
import decimal
import fractions

import pytest

from conftest import same_floats

np = pytest.importorskip("numpy")

def masked(values):
    return np.ma.masked_array(values, mask=[False] + [True] * (len(values) - 1))


# Values that float() or numpy.asarray(..., dtype=float) turned into numbers: the real part of
# complex values, the counts of dates and durations, the parsed text, and masked data unmasked.
NOT_REAL_ARRAYS = {
    "complex": lambda: np.array([0.5, 1.0 + 0j]),
    "complex-imaginary": lambda: np.array([0.5, 1.0 + 2j]),
    "complex64": lambda: np.array([0.5, 1.0], dtype=np.complex64),
    "clongdouble": lambda: np.array([0.5, 1.0], dtype=np.clongdouble),
    "timedelta64": lambda: np.array([1, 2], "m8[D]"),
    "datetime64": lambda: np.array(["2024-01-01", "2024-01-02"], "M8[D]"),
    "datetime64-ns": lambda: np.array([1, 2], "M8[ns]"),
    "str": lambda: np.array(["0.5", "1"]),
    "bytes": lambda: np.array([b"0.5", b"1"]),
    "void": lambda: np.zeros(2, "V8"),
    "object-str": lambda: np.array(["0.5", 1.0], dtype=object),
    "object-bytes": lambda: np.array([b"0.5", 1.0], dtype=object),
    "object-numpy-complex": lambda: np.array([np.complex128(0.5), 1.0], dtype=object),
    "list-of-str": lambda: ["0.5", "1"],
    "list-of-datetime64": lambda: [np.datetime64(1, "D"), np.datetime64(2, "D")],
    "masked": lambda: masked([0.5, -1.0]),
}
NOT_REAL_NUMBERS = {
    "0-d-complex": lambda: np.array(0.5 + 0j),
    "numpy-complex128": lambda: np.complex128(0.5),
    "numpy-complex64": lambda: np.complex64(0.5),
    "numpy-datetime64": lambda: np.datetime64(1, "D"),
    "numpy-timedelta64": lambda: np.timedelta64(1, "D"),
    "0-d-str": lambda: np.array("0.5"),
    "0-d-object-str": lambda: np.array("0.5", dtype=object),
    "masked-constant": lambda: np.ma.masked,
}


def call(mirvanta, function, parameter, value):
    """Calls `function` with valid arguments but `value` for `parameter`."""
    valid = {
        "magnification": dict(u=[0.5, 1.0], rho=0.1),
        "point_source_magnification": dict(u=[0.5, 1.0]),
        "light_curve": dict(t=[0.5, 1.0], t0=0.0, u0=0.1, tE=10.0, rho=0.01, rtol=1e-8),
        "witt_mao_magnification": dict(l=[0.5, 1.0], re=1.0, rstar=0.1),
        "multi_witt_mao_magnification": dict(l=[0.5, 1.0], re=[1.0], rstar=[0.1]),
        "heyrovsky_magnification": dict(l=0.5, r=1.0, re=1.0, rstar=0.1),
        "integrated_flux_map_witt_mao_magnification": dict(l=[0.5, 1.0], re=1.0, rstar=0.1, bl=[0.0, 1.0],
                                                           bf=[1.0, 0.5]),
        "fit_fluxes": dict(A=[1.0, 2.0, 3.0], flux=[1.0, 2.0, 3.5], sigma=1.0),
        "Profile": dict(radii=[0.0, 1.0], brightness=[1.0, 0.5]),
        "Quadratic": dict(a=0.3, b=0.2),
    }[function]
    valid[parameter] = value
    return getattr(mirvanta, function)(**valid)


# Where an array (or sequence) is taken, and where a number is.
ARRAY_PLACES = [("magnification", "u"), ("magnification", "rho"), ("point_source_magnification", "u"),
                ("light_curve", "t"), ("light_curve", "rho"), ("witt_mao_magnification", "l"),
                ("multi_witt_mao_magnification", "rstar"), ("integrated_flux_map_witt_mao_magnification", "bf"),
                ("Profile", "radii"), ("fit_fluxes", "flux")]
NUMBER_PLACES = [("magnification", "u"), ("light_curve", "t0"), ("light_curve", "u0"), ("light_curve", "tE"),
                 ("light_curve", "rtol"), ("witt_mao_magnification", "re"), ("heyrovsky_magnification", "r"),
                 ("Quadratic", "b")]
CASES = ([(place, kind, make) for place in ARRAY_PLACES for kind, make in NOT_REAL_ARRAYS.items()] +
         [(place, kind, make) for place in NUMBER_PLACES for kind, make in NOT_REAL_NUMBERS.items()] +
         [(place, "memoryview-of-bytes", lambda: memoryview(b"\x01\x02")) for place in ARRAY_PLACES[:5]] +
         [(("magnification", "u"), "memoryview-of-bytearray", lambda: memoryview(bytearray(b"\x01")))])


@pytest.mark.filterwarnings("error")  # no ComplexWarning or masked-element warning on the way
@pytest.mark.parametrize("place, kind, make", CASES, ids=[f"{f}-{p}-{k}" for (f, p), k, _ in CASES])
def test_values_that_are_not_real_numbers_are_refused(mirvanta, place, kind, make):
    function, parameter = place
    with pytest.raises(TypeError) as caught:
        call(mirvanta, function, parameter, make())
    notes = getattr(caught.value, "__notes__", [])
    # The laws' coefficients are named by the class's own signature, like PyArg's errors.
    assert notes == [f"while processing '{parameter}'"] or function == "Quadratic"
    text = str(caught.value)
    if kind.startswith("masked"):
        assert ".filled(numpy.nan)" in text and ".compressed()" in text
        if kind == "masked":
            assert text.startswith(f"{parameter} is a masked array")
    elif kind.startswith(("timedelta", "datetime", "numpy-datetime", "numpy-timedelta", "list-of-datetime")):
        assert "convert times to numbers" in text


# Real numbers of every kind, and what float() makes of each: the values must be exactly those.
REAL = {
    "bool": lambda: np.array([False, True]),
    "int8": lambda: np.array([0, 3, 127], np.int8),
    "int64": lambda: np.array([2**62 + 1, 5], np.int64),
    "uint8": lambda: np.array([0, 255], np.uint8),
    "uint64": lambda: np.array([2**64 - 1, 2**63 + 1], np.uint64),
    "float16": lambda: np.array([0.1, 65504.0], np.float16),
    "float32": lambda: np.array([0.1, 3.4e38], np.float32),
    "float64-big-endian": lambda: np.array([0.1, 2.5], ">f8"),
    "longdouble": lambda: np.array([0.1, 1e300], np.longdouble) * np.longdouble(1 + 2**-60),
    "object-python-numbers": lambda: np.array([1, 0.1, True, 2**70], dtype=object),
    "object-fractions": lambda: np.array([fractions.Fraction(1, 3), fractions.Fraction(10**30, 7)], dtype=object),
    "object-decimals": lambda: np.array([decimal.Decimal("0.1"), decimal.Decimal("1e-400")], dtype=object),
    "list-of-numpy-scalars": lambda: [np.float32(0.1), np.int16(3), np.bool_(True), np.uint64(2**64 - 1)],
    "array-B": lambda: array.array("B", [0, 200]),
    "memoryview-of-ints": lambda: memoryview(np.array([0, 3], np.int32)),
    "memoryview-cast-to-doubles": lambda: memoryview(np.array([0.1, 2.5]).tobytes()).cast("d"),
}


def by_hand(values):
    """The doubles float() makes of each item (the longdouble by NumPy's own correctly rounded cast)."""
    if isinstance(values, np.ndarray) and values.dtype == np.longdouble:
        return [float(x) for x in values.astype(np.float64)]
    return [float(x) for x in (values.tolist() if isinstance(values, memoryview) else values)]


@pytest.mark.parametrize("make", REAL.values(), ids=REAL.keys())
def test_real_numbers_of_every_kind_convert_as_before(mirvanta, make):
    expected = by_hand(make())
    rho = 0.1
    reference = mirvanta.magnification(np.array(expected), rho)
    assert same_floats(list(mirvanta.magnification(make(), rho)), list(reference))
    assert same_floats(mirvanta.witt_mao_magnification(make(), 1.0, rho),
                       mirvanta.witt_mao_magnification(expected, 1.0, rho))
    values = make()
    scalar = values.tolist()[-1] if isinstance(values, memoryview) else values[-1]
    assert mirvanta.magnification(scalar, rho) == reference[-1]
    # u(t) = sqrt(u0^2 + 0) = u0 exactly: the square root of a square is exact
    assert mirvanta.light_curve(1.0, 0.0, scalar, 1e300, rho) == reference[-1]
