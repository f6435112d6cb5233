"""The functions in Einstein radii and the brightness laws, as a NumPy user meets them: shapes and
broadcasting, scalars, the laws' checks, refusals that name the argument, and the module's other
functions without NumPy. How exact the laws are is tested against mpmath in tests/cpp."""

import math
import pickle
import warnings

import pytest

from conftest import limb_darkened_disk, run_python, witt_mao_closed_form

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

NEW_NAMES = ["magnification", "point_source_magnification", "light_curve", "magnification_and_gradient",
             "light_curve_and_jacobian", "fit_fluxes",
             "Linear", "Quadratic", "SquareRoot", "Power2", "Logarithmic", "Claret", "Profile", "FluxFit"]


def test_the_new_names_follow_the_eight(mirvanta):
    assert mirvanta.__all__[8:] == NEW_NAMES
    from importlib.metadata import version
    assert mirvanta.__version__ == version("mirvanta")
    for name in NEW_NAMES:
        doc = getattr(mirvanta, name).__doc__
        assert doc and len(doc.splitlines()) > 3, name


# ---- The laws' checks, against the brightness sampled on a fine grid of mu (an independent test
# of the closed-form conditions). The margin keeps the grid's own error out of the decision.

MU = np.linspace(0.0, 1.0, 20001)
LAWS = {
    "Quadratic": lambda a, b: 1 - a * (1 - MU) - b * (1 - MU) ** 2,
    "SquareRoot": lambda c, d: 1 - c * (1 - MU) - d * (1 - np.sqrt(MU)),
    "Linear": lambda c, _: 1 - c * (1 - MU),
    "Power2": lambda c, alpha: 1 - c * (1 - MU ** alpha),
    "Logarithmic": lambda c, d: 1 - c * (1 - MU) - d * MU * np.log(np.where(MU > 0, MU, 1.0)),
}


@settings(max_examples=300, deadline=None)
@given(name=st.sampled_from(sorted(LAWS)), p=st.floats(-3, 3), q=st.floats(0.05, 3))
def test_a_law_is_accepted_exactly_when_its_brightness_is_not_negative(mirvanta, name, p, q):
    least = LAWS[name](p, q if name == "Power2" else q - 1.5).min()
    args = (p,) if name == "Linear" else (p, q if name == "Power2" else q - 1.5)
    if abs(least) < 1e-6:
        return  # on the boundary, within the grid's resolution
    if least > 0:
        law = getattr(mirvanta, name)(*args)
        assert tuple(getattr(law, field) for field in law.__match_args__) == args
    else:
        with pytest.raises(ValueError, match=rf"^{name}: .*(negative|at most 1)"):
            getattr(mirvanta, name)(*args)


@pytest.mark.parametrize("make, message", [
    (lambda m: m.Linear(math.nan), r"Linear: c must be a finite number"),
    (lambda m: m.Quadratic(0.3, math.inf), r"Quadratic: b must be a finite number"),
    (lambda m: m.Power2(0.5, 0.0), r"Power2: alpha must be a finite number above 0"),
    (lambda m: m.Power2(0.5, -1.0), r"Power2: alpha"),
    (lambda m: m.Profile([0.0, 0.5, 0.4, 1.0], [1, 1, 1, 1]), r"radii must be in ascending order.*radii\[2\]"),
    (lambda m: m.Profile([0.0, 0.5, 1.0], [1, -0.1, 1]), r"brightness must be finite.*brightness\[1\]"),
    (lambda m: m.Profile([0.0, 0.5, 1.0], [1, math.nan, 1]), r"brightness\[1\]"),
    (lambda m: m.Profile([0.0, 0.5, 1.5], [1, 1, 1]), r"radii must lie between 0.*radii\[2\]"),
    (lambda m: m.Profile([-0.1, 0.5], [1, 1]), r"radii\[0\]"),
    (lambda m: m.Profile([0.0, 0.5, 1.0], [1, 1]), r"as many values as radii"),
    (lambda m: m.Profile([], []), r"at least one radius"),
    (lambda m: m.Profile([0.5], [0]), r"no flux"),
    (lambda m: m.Profile([0.0, 0.5, 0.5], [0, 0, 1]), r"no flux"),
])
def test_a_law_that_is_no_star_is_refused_by_name(mirvanta, make, message):
    with pytest.raises(ValueError, match=message):
        make(mirvanta)


def test_laws_are_small_immutable_values(mirvanta):
    laws = [mirvanta.Linear(0.6), mirvanta.Quadratic(0.5, 0.2), mirvanta.SquareRoot(0.3, 0.4),
            mirvanta.Power2(0.6, 0.5), mirvanta.Profile([0.0, 0.5, 0.5, 1.0], [1.0, 0.9, 0.5, 0.2])]
    namespace = vars(mirvanta)
    for law in laws:
        assert eval(repr(law), namespace) == law  # noqa: S307 - the module's own names
        assert pickle.loads(pickle.dumps(law)) == law
        assert hash(law) == hash(pickle.loads(pickle.dumps(law)))
        with pytest.raises(AttributeError):
            setattr(law, law.__match_args__[0], 0.1)
        with pytest.raises(TypeError):
            type(law).__init_subclass__  # noqa: B018
            class Sub(type(law)):  # noqa: F841
                pass
    assert mirvanta.Linear(0.6) != mirvanta.Power2(0.6, 1.0) and len(set(laws)) == len(laws)
    assert mirvanta.Profile(np.array([0.0, 1.0]), (1, 1)).radii == (0.0, 1.0)
    match mirvanta.Quadratic(0.5, 0.2):
        case mirvanta.Quadratic(a, b):
            assert (a, b) == (0.5, 0.2)


# ---- Shapes, scalars and broadcasting.

def test_numbers_give_a_float_arrays_an_array_of_their_shape(mirvanta):
    m = mirvanta.magnification
    for scalar in (0.5, 1, np.float64(0.5), np.float32(0.5), np.int64(1), np.array(0.5)):
        assert type(m(scalar, 0.1)) is float
    assert type(m(0.5, np.array(0.1))) is float
    for u in ([0.1, 0.5], (0.1, 0.5), range(2), np.arange(2, dtype=np.int32), np.ones((2, 3, 4), np.float32),
              np.linspace(0, 1, 12).reshape(3, 4)[:, ::2], np.array([], float)):
        result = m(u, 0.1)
        assert isinstance(result, np.ndarray) and result.dtype == np.float64
        assert result.shape == np.shape(u) and result.flags.c_contiguous


@settings(max_examples=60, deadline=None)
@given(u_shape=st.lists(st.integers(1, 3), max_size=3), rho_shape=st.lists(st.integers(1, 3), max_size=3),
       seed=st.integers(0, 2**32 - 1))
def test_broadcasting_is_numpys_elementwise(mirvanta, u_shape, rho_shape, seed):
    random = np.random.default_rng(seed)
    u = random.uniform(0.0, 0.3, u_shape)
    rho = random.uniform(0.01, 0.2, rho_shape)
    try:
        shape = np.broadcast_shapes(u.shape, rho.shape)
    except ValueError:
        with pytest.raises(ValueError, match="does not broadcast"):
            mirvanta.magnification(u, rho)
        return
    u_before, rho_before = u.copy(), rho.copy()
    law = mirvanta.Quadratic(0.5, 0.2)
    result = mirvanta.magnification(u, rho, law)
    assert np.shape(result) == shape and (shape or type(result) is float)
    assert np.array_equal(u, u_before) and np.array_equal(rho, rho_before)  # inputs untouched
    # Element by element, within the tolerance: a call with many separations of one source may take
    # another route (an interpolant) than a call with one.
    for index in np.ndindex(shape):
        bu, brho = np.broadcast_to(u, shape)[index], np.broadcast_to(rho, shape)[index]
        assert np.asarray(result)[index] == pytest.approx(mirvanta.magnification(float(bu), float(brho), law),
                                                          rel=2e-10)


def test_the_uniform_disk_against_mpmath_and_the_eight_functions(mirvanta):
    u = np.array([0.0, 0.05, 0.0999, 0.1001, 0.3, 2.0, 40.0])  # (the closed form divides by 0 at u = rho)
    result = mirvanta.magnification(u, 0.1)
    for x, value in zip(u, result):
        assert value == pytest.approx(float(witt_mao_closed_form(x, 0.1)), rel=1e-12, abs=0)
    assert mirvanta.magnification(0.3, 0.0) == mirvanta.point_source_magnification(0.3)
    separations = [0.0, 0.3, 0.9, 1.2, 5.0]
    assert mirvanta.magnification(np.array(separations) * 0.1, 0.1, mirvanta.Linear(0.6), rtol=1e-12) == pytest.approx(
        mirvanta.integrated_witt_mao_magnification(separations, 1.0, 0.1), rel=2e-12)


@pytest.mark.parametrize("l", [0.0, 0.5, 1.5])
def test_a_quadratic_law_against_a_two_dimensional_mpmath_integral(mirvanta, l):
    # The ring means of the point-source magnification weighted by the law: no by-parts step, no
    # uniform-disk kernel.
    def law(r):
        w = 1 - (1 - r * r) ** 0.5
        return 1 - 0.5 * w - 0.2 * w * w
    expected = float(limb_darkened_disk(l, 0.1, law))
    assert mirvanta.magnification(l * 0.1, 0.1, mirvanta.Quadratic(0.5, 0.2)) == pytest.approx(expected, rel=1e-10)


def test_nan_propagates_and_negative_values_are_refused_with_their_index(mirvanta):
    m = mirvanta.magnification
    result = m([0.1, math.nan, 0.3], [0.1, 0.1, math.nan], mirvanta.Linear(0.5))
    assert np.isnan(result[1:]).all() and np.isfinite(result[0])
    assert math.isnan(m(math.nan, 0.1))
    with pytest.raises(ValueError, match=r"^u must be at least 0 .*; u\[1, 0\] = -0.5$"):
        m(np.array([[0.1], [-0.5]]), 0.1)
    with pytest.raises(ValueError, match=r"^rho must be at least 0 .*; rho = -0.1$"):
        m(0.5, -0.1)
    with pytest.raises(ValueError, match=r"rtol must be above 0 and below 1"):
        m(0.5, 0.1, rtol=0.0)
    assert m(-0.0, 0.1) == m(0.0, 0.1)


@pytest.mark.parametrize("call, exception, note", [
    (lambda m: m.magnification("0.5", 0.1), TypeError, "u"),
    (lambda m: m.magnification(None, 0.1), TypeError, "u"),
    (lambda m: m.magnification([[0.1], [0.2, 0.3]], 0.1), ValueError, "u"),
    (lambda m: m.magnification(0.5, {"a": 1}), TypeError, "rho"),
    (lambda m: m.magnification(0.5, 0.1, 0.6), TypeError, "limb"),
    (lambda m: m.magnification(0.5, 0.1, rtol="x"), TypeError, "rtol"),
    (lambda m: m.light_curve([0.0], "0", 0.1, 20.0, 0.01), TypeError, "t0"),
    (lambda m: m.light_curve([0.0], 0.0, 0.1, {"a": 1}, 0.01), TypeError, "tE"),
])
def test_an_argument_that_does_not_convert_is_named(mirvanta, call, exception, note):
    with pytest.raises(exception) as caught:
        call(mirvanta)
    assert caught.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("call, message", [
    (lambda m: m.magnification(0.5), r"magnification\(\) missing 1 required positional argument: 'rho'"),
    (lambda m: m.magnification(0.5, 0.1, None, 1e-8), r"takes from 2 to 3 positional arguments but 4 were given"),
    (lambda m: m.magnification(0.5, 0.1, tol=1e-8), r"unexpected keyword argument 'tol'"),
    (lambda m: m.point_source_magnification(0.5, 1), r"takes 1 positional argument but 2 were given"),
    (lambda m: m.light_curve(0.0, 0.0, 0.1, 20.0), r"missing 1 required positional argument: 'rho'"),
])
def test_binding_errors_read_as_pythons_own(mirvanta, call, message):
    with pytest.raises(TypeError, match=message):
        call(mirvanta)


def test_light_curve_is_the_magnification_along_the_trajectory(mirvanta):
    t = np.linspace(-50.0, 50.0, 401).reshape(1, -1)
    rho = np.array([[0.01], [0.1]])
    law = mirvanta.Quadratic(0.5, 0.2)
    curve = mirvanta.light_curve(t, 3.0, -0.02, 25.0, rho, law)
    u = np.sqrt(0.02 ** 2 + ((t - 3.0) / 25.0) ** 2)
    assert curve.shape == (2, 401)
    assert np.array_equal(curve, mirvanta.magnification(u, rho, law))
    assert mirvanta.light_curve(3.0, 3.0, 0.0, 25.0, 0.0) == math.inf
    for te in (0.0, -1.0, math.nan):
        with pytest.raises(ValueError, match="tE must be a finite number above 0"):
            mirvanta.light_curve(t, 0.0, 0.1, te, 0.01)


def test_point_source_magnification_by_hand(mirvanta):
    u = np.array([0.0, 1.0, 2.0, 1e-8, 1e3])
    expected = [math.inf, 3 / math.sqrt(5), 6 / (2 * math.sqrt(8)), 1e8, 1 + 2e-12]
    assert mirvanta.point_source_magnification(u) == pytest.approx(expected, rel=1e-15)
    with pytest.raises(ValueError, match=r"u\[1\] = -1.0"):
        mirvanta.point_source_magnification([1.0, -1.0])


def test_the_eight_functions_need_no_numpy(mirvanta):
    script = """
        import sys
        sys.modules["numpy"] = None  # any import of NumPy fails
        import mirvanta
        print(mirvanta.witt_mao_magnification([0.5], 1.0, 0.1) == [mirvanta.magnification(0.05, 0.1)])
        try:
            mirvanta.magnification([0.05], 0.1)
        except ImportError as error:
            print("pip install numpy" in " ".join(error.__notes__))
    """
    assert run_python(script).stdout.split() == ["True", "True"]


def test_a_tolerance_beyond_reach_is_said_not_hidden(mirvanta):
    # Below 1e-13 the uniform-disk kernel's own rounding decides: the values are the best estimate
    # and a warning says how many did not reach rtol.
    law = mirvanta.Quadratic(0.5, 0.2)
    with pytest.warns(RuntimeWarning, match=r"magnification: 3 of 3 values did not reach rtol=1e-15 \(worst "
                                           r"estimated relative error 1e-13, the first at flat index 0\)"):
        fine = mirvanta.magnification(np.array([0.0, 0.05, 0.12]), 0.1, law, rtol=1e-15)
    assert fine == pytest.approx(mirvanta.magnification(np.array([0.0, 0.05, 0.12]), 0.1, law, rtol=1e-12),
                                 rel=1e-12)
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            mirvanta.light_curve(0.0, 0.0, 0.005, 20.0, 0.01, law, rtol=1e-15)
        mirvanta.magnification(0.05, 0.1, law, rtol=1e-13)  # reachable: no warning


def test_a_table_of_one_radius_is_the_uniform_disk_as_for_the_flux_maps(mirvanta):
    # One radius means that brightness over the whole disk, for Profile as for the flux maps.
    u = [0.0, 0.02, 0.05, 0.3]
    one = mirvanta.magnification(u, 0.05, mirvanta.Profile([0.3], [2.0]))
    disk = mirvanta.witt_mao_magnification([x / 0.05 for x in u], 1.0, 0.05)
    flux_map = mirvanta.integrated_flux_map_witt_mao_magnification([x / 0.05 for x in u], 1.0, 0.05, [0.3], [2.0])
    assert list(one) == disk
    # The flux map's own quadrature of a one-entry map is off by its annulus at the centre and on
    # the limb (4e-5 and 1e-5, as its docs derive), and agrees elsewhere.
    assert one == pytest.approx(flux_map, rel=1e-4)
    assert [one[1], one[3]] == pytest.approx([flux_map[1], flux_map[3]], rel=1e-8)


def band_by_rings(u, rho, r0, r1):
    """The magnification of a uniform band of radius fractions [r0, r1], by mpmath: the magnified
    flux is the integral of 2 x R over the band, R the mean of the point-source magnification over
    the ring of radius x rho (the derivative of x^2 A_disk), with no difference of disks."""
    mpmath = pytest.importorskip("mpmath")
    mp = mpmath.mp.clone()
    mp.dps = 40
    u, rho, r0, r1 = (mp.mpf(v) for v in (u, rho, r0, r1))

    def ring(x):
        def point(theta):
            d2 = u * u + (x * rho) ** 2 - 2 * u * x * rho * mp.cos(theta)
            return (d2 + 2) / mp.sqrt(d2 * (d2 + 4))
        return mp.quad(point, [0, mp.pi]) / mp.pi

    ends = [r0, u / rho, r1] if r0 < u / rho < r1 else [r0, r1]
    return mp.quad(lambda x: 2 * x * ring(x), ends) / (r1 * r1 - r0 * r0)


@pytest.mark.parametrize("width, rtol", [(0.01, 1e-13), (0.01, 1e-10), (1e-5, 1e-10), (1e-5, 1e-6)])
def test_a_narrow_band_is_within_rtol_or_warned(mirvanta, width, rtol):
    # The terms at a band's two edges nearly cancel: their rounding, not the quadrature, can take
    # the value beyond rtol, and the call must then say so.
    reference = band_by_rings(0.5, 1.0, 0.6, 0.6 + width)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = mirvanta.magnification(0.5, 1.0, mirvanta.Profile([0.6, 0.6 + width], [1.0, 1.0]), rtol=rtol)
    error = abs(value / float(reference) - 1.0)
    warned = any("did not reach" in str(w.message) for w in caught)
    assert error <= rtol or warned, f"error {error:.1e} at rtol {rtol} without a warning"


LAWS_FOR_LIMITS = [None, "Linear(0.6)", "Quadratic(0.4, 0.2)", "SquareRoot(0.3, 0.4)", "Power2(0.6, 0.5)",
                   "Profile([0, 0.5, 1], [1, 0.8, 0.3])"]
# Separations whose square overflows (u > 2^512, about 1.34e154), up to the largest double: there
# A - 1 < 2/u^4 rounds away, so every path must give exactly 1, as u = inf does.
HUGE = [2.0**512, 1.4e154, 1e200, 1e300, float(np.finfo(float).max)]


@pytest.mark.parametrize("law", LAWS_FOR_LIMITS)
@pytest.mark.parametrize("rho", [0.0, 1e-300, 1e-5, 0.1, 50.0, 1e150])
def test_huge_separations_give_the_limit_at_infinity(mirvanta, law, rho):
    limb = None if law is None else eval(law, vars(mirvanta))
    assert mirvanta.magnification(math.inf, rho, limb) == 1.0
    many = np.repeat(HUGE, 40)  # the lanes, the worker pool and (for a law) the interpolant's call
    assert [mirvanta.magnification(u, rho, limb) for u in HUGE] == [1.0] * len(HUGE)
    assert np.all(mirvanta.magnification(many, rho, limb) == 1.0)
    assert np.all(mirvanta.light_curve(many, 0.0, 0.0, 1.0, rho, limb) == 1.0)
    if law is None and rho == 0.0:
        assert np.all(mirvanta.point_source_magnification(many) == 1.0)
        assert [mirvanta.point_source_magnification(u) for u in HUGE] == [1.0] * len(HUGE)
    if law is None and rho >= 1e-5:  # the functions in source radii, l = u / rho
        l = [u / rho for u in HUGE if u / rho < math.inf]
        assert mirvanta.witt_mao_magnification(l * 40, 1.0, rho) == [1.0] * (40 * len(l))
        assert mirvanta.integrated_flux_map_witt_mao_magnification(l, 1.0, rho, [0, 0.5, 1], [1, 0.7, 0.2]) == \
            [1.0] * len(l)
        assert mirvanta.heyrovsky_magnification(l[-1], 0.5, 1.0, rho) == 1.0


# Tables out of a double's reach, each with its well-scaled equal: the same brightness times a
# power of two (the magnification is a ratio, so the values must be identical), or the same shape
# on radii divided by r_last for a source r_last times as large (the same integral: equal to the
# tolerance). They were 7.3 % low (subnormal), wrong where the flux overflowed, 6.8e-6 off
# (radius 2^-531) and NaN (2^-997).
SCALED_TABLES = {
    "subnormal-uniform": (([0, 1], [5e-324, 5e-324]), ([0, 1], [1, 1]), 1.0),
    "subnormal-linear": (([0, 1], [2.0**-1064, 0]), ([0, 1], [1, 0]), 1.0),
    "near-overflow": (([0, 0.5, 1], [2.0**1023, 1.5 * 2.0**1023, 2.0**1022]), ([0, 0.5, 1], [1, 1.5, 0.5]), 1.0),
    "radius-2^-40": (([0, 2.0**-41, 2.0**-40], [1, 0.8, 0.3]), ([0, 0.5, 1], [1, 0.8, 0.3]), 2.0**-40),
    "radius-1e-160": (([0, 1e-160], [1, 1]), None, 1e-160),
    "radius-2^-997": (([0, 2.0**-997], [3, 1]), ([0, 1], [3, 1]), 2.0**-997),
    "dark-beyond-2^-600": (([0, 2.0**-601, 2.0**-600, 0.5, 1], [1, 1, 0, 0, 0]), ([0, 0.5, 1], [1, 1, 0]), 2.0**-600),
}


@pytest.mark.parametrize("table, equal, r_last", SCALED_TABLES.values(), ids=SCALED_TABLES.keys())
def test_tables_out_of_a_doubles_reach_are_their_well_scaled_equals(mirvanta, table, equal, r_last):
    rho = 0.05
    law = mirvanta.Profile(*table)
    assert law.radii == tuple(table[0]) and law.brightness == tuple(table[1])  # the table as given
    # the lens at the centre, inside, on the limb, outside, far (the series)
    u = rho * r_last * np.array([0.0, 0.3, 1.0, 1.7, 40.0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # and no RuntimeWarning
        values = mirvanta.magnification(u, rho, law)
        assert mirvanta.magnification(u[1], rho, law) == values[1]
        if u[1] ** 2 >= np.finfo(float).tiny:  # light_curve squares the separations
            assert np.array_equal(mirvanta.light_curve(u, 0.0, 0.0, 1.0, rho, law), values)
    if equal is None:  # a uniform disk of radius r_last rho: the closed form in mpmath
        inside_outside_far = [1, 3, 4]  # (the closed form divides by zero on the limb)
        expected = [float(witt_mao_closed_form(u[i], rho * r_last)) for i in inside_outside_far]
        assert values[inside_outside_far] == pytest.approx(expected, rel=1e-10)  # rtol
        return
    expected = mirvanta.magnification(u, rho * r_last, mirvanta.Profile(*equal))
    if r_last == 1.0:
        assert np.array_equal(values, expected)
    else:
        assert values == pytest.approx(expected, rel=2e-10)
