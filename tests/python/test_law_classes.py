"""The brightness-law classes made from the laws' definitions: the logarithmic and four-coefficient
laws at the edges of their validity (boundaries derived by hand), Linear.from_gamma, the surface
every class shares, and laws that are one brightness written two ways."""

import inspect
import math
import pickle

import pytest

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

E = math.e
# Logarithmic(c, d) with d < 0 and c > d is least at mu = exp(c/d - 1), where I = 1 - c + d mu. For
# c = -d = 1 / (1 + e^-2) that is mu = e^-2 and I = 1 - c (1 + e^-2) = 0.
C2 = 1 / (1 + math.exp(-2))

# (class, coefficients just inside, just outside): each pair 1e-9 (relative) either side of a
# brightness that touches 0 on the disk, or of a limb at 0.
EDGES = [
    # 1 - c at the limb, d >= 0 concave
    ("Logarithmic", (1.0, 0.5), (1.0 + 1e-9, 0.5)),
    # c = 0: least 1 + d/e at mu = 1/e
    ("Logarithmic", (0.0, -E * (1 - 1e-9)), (0.0, -E * (1 + 1e-9))),
    # least at mu = e^-2: dI/dd = 2 e^-2 > 0 there, so a smaller |d| is inside
    ("Logarithmic", (C2, -C2 * (1 - 1e-9)), (C2, -C2 * (1 + 1e-9))),
    # In s = sqrt(mu), (2s - 1)^2 + eps (1 - s^2): Claret(-4, 4 - eps, 0, 0), 0 at s = 1/2 for eps = 0
    ("Claret", (-4.0, 4.0 - 1e-9, 0.0, 0.0), (-4.0, 4.0 + 1e-9, 0.0, 0.0)),
    # (2 s^2 - 1)^2 + eps (1 - s^4): 0 at mu = 1/2
    ("Claret", (0.0, -4.0, 0.0, 4.0 - 1e-9), (0.0, -4.0, 0.0, 4.0 + 1e-9)),
    # s (2s - 1)^2 + eps (1 - s^3): 0 at the limb and at mu = 1/4
    ("Claret", (1.0, -4.0, 4.0 - 1e-9, 0.0), (1.0, -4.0, 4.0 + 1e-9, 0.0)),
    # (2s - 1)^2 (s^2 + 1) / 2 + eps (1 - s^4): every coefficient at work
    ("Claret", (-2.0, 2.5, -2.0, 2.0 - 1e-9), (-2.0, 2.5, -2.0, 2.0 + 1e-9)),
    # (s + s^2 + s^3 + s^4) / 4: 0 at the limb, 1 - a1 - a2 - a3 - a4 = 0 exactly
    ("Claret", (0.25, 0.25, 0.25, 0.25), (0.25, 0.25, 0.25, 0.25 + 1e-9)),
    # 1e-6 s + (1 - 1e-6) s^2 at the limb; -1e-6 s + (1 + 1e-6) s^2 dips below 0 for s < 1e-6
    ("Claret", (1e-6, 1 - 1e-6, 0.0, 0.0), (-1e-6, 1 + 1e-6, 0.0, 0.0)),
]


@pytest.mark.parametrize("name, inside, outside", EDGES)
def test_a_law_is_refused_just_past_where_its_brightness_touches_zero(mirvanta, name, inside, outside):
    law = getattr(mirvanta, name)(*inside)
    assert tuple(getattr(law, field) for field in law.__match_args__) == inside
    fields = ", ".join(f"{field}={value!r}" for field, value in zip(law.__match_args__, outside))
    with pytest.raises(ValueError) as caught:
        getattr(mirvanta, name)(*outside)
    assert str(caught.value) == (f"{name}: {' and '.join([', '.join(law.__match_args__[:-1]), law.__match_args__[-1]])} "
                                 f"make the brightness negative somewhere on the disk ({fields})")


def claret_brightness(s, a):
    return 1 - sum(ak * (1 - s ** k) for k, ak in enumerate(a, 1))


# The four-coefficient check against the brightness on a fine grid of s = sqrt(mu), away from the
# boundary (the grid's own resolution).
S = np.linspace(0.0, 1.0, 20001)


@settings(max_examples=300, deadline=None)
@given(a=st.tuples(*[st.floats(-5, 5)] * 4))
def test_claret_is_accepted_exactly_when_its_brightness_is_not_negative(mirvanta, a):
    least = claret_brightness(S, a).min()
    if abs(least) < 1e-6:
        return
    if least > 0:
        assert mirvanta.Claret(*a).a4 == a[3]
    else:
        with pytest.raises(ValueError, match=r"^Claret: a1, a2, a3 and a4 make the brightness negative"):
            mirvanta.Claret(*a)


@pytest.mark.parametrize("make, message", [
    (lambda m: m.Logarithmic(0.5, math.nan), r"^Logarithmic: d must be a finite number \(c=0.5, d=nan\)$"),
    (lambda m: m.Claret(0.1, 0.2, math.inf, 0.1), r"^Claret: a3 must be a finite number \(a1=0.1, a2=0.2, a3=inf, "),
    (lambda m: m.Claret(0.1, 0.2, 0.3), r"Claret\(\) missing required argument 'a4' \(pos 4\)"),
    (lambda m: m.Logarithmic(0.1, 0.2, e=0.2), r"Logarithmic\(\) takes at most 2 arguments \(3 given\)"),
])
def test_faults_name_the_coefficient(mirvanta, make, message):
    with pytest.raises((ValueError, TypeError), match=message):
        make(mirvanta)


@pytest.mark.parametrize("gamma, c", [(0.5, 0.6), (1.0, 1.0), (0.0, 0.0), (-1.0, -3.0), (-1.5, -9.0), (0.2, 0.6 / 2.2)])
def test_from_gamma_is_the_linear_law_of_unit_mean(mirvanta, gamma, c):
    # c = 3 gamma / (2 + gamma) by hand; Gamma = 0.5 gives 1.5 / 2.5 = 0.6.
    law = mirvanta.Linear.from_gamma(gamma)
    assert type(law) is mirvanta.Linear and law.c == pytest.approx(c, rel=1e-15, abs=0)
    # The convention's profile, divided by its value at the centre, is the law's; its mean over the
    # disk is 1 (int_0^1 2 x (1 - gamma (1 - 3 mu / 2)) dx = 1 - gamma + gamma).
    for mu in (0.0, 0.3, 0.8, 1.0):
        assert (1 - gamma * (1 - 1.5 * mu)) / (1 + gamma / 2) == pytest.approx(1 - law.c * (1 - mu), abs=1e-15)


@pytest.mark.parametrize("gamma, error, message", [
    (1.0 + 1e-12, ValueError, r"gamma must be above -2 and at most 1.*\(gamma=1.000000000001\)"),
    (-2.0, ValueError, r"gamma must be above -2"),
    (-5.0, ValueError, r"gamma must be above -2"),
    (math.nan, ValueError, r"gamma must be a finite number"),
    ("0.5", TypeError, r"must be real number, not str"),
])
def test_from_gamma_refuses_a_brightness_that_is_no_linear_law(mirvanta, gamma, error, message):
    # A value that is not a number reads as a constructor's coefficient does.
    with pytest.raises(error, match=message):
        mirvanta.Linear.from_gamma(gamma)


LAW_CLASSES = ["Linear", "Quadratic", "SquareRoot", "Power2", "Logarithmic", "Claret"]
SAMPLES = {"Linear": (0.6,), "Quadratic": (0.5, 0.2), "SquareRoot": (0.3, 0.4), "Power2": (0.6, 0.5),
           "Logarithmic": (0.6, -0.25), "Claret": (0.5, -0.25, 0.75, -0.375)}


@pytest.mark.parametrize("name", LAW_CLASSES)
def test_every_law_class_has_the_same_surface(mirvanta, name):
    cls = getattr(mirvanta, name)
    args = SAMPLES[name]
    law = cls(*args)
    fields = cls.__match_args__
    assert list(inspect.signature(cls).parameters) == list(fields) and len(fields) == len(args)
    assert repr(law) == f"{name}(" + ", ".join(f"{f}={v!r}" for f, v in zip(fields, args)) + ")"
    assert eval(repr(law), vars(mirvanta)) == law  # noqa: S307 - the module's own names
    assert cls(**dict(zip(fields, args))) == law and hash(cls(*args)) == hash(law)
    assert pickle.loads(pickle.dumps(law)) == law
    assert cls(*args[:-1], args[-1] + 0.01) != law
    assert cls.__text_signature__ == f"({', '.join(fields)})" and "I(mu) = " in cls.__doc__
    with pytest.raises(AttributeError):
        setattr(law, fields[-1], 0.1)


def test_every_law_is_accepted_as_a_limb_and_the_others_are_listed(mirvanta):
    for name in LAW_CLASSES:
        assert mirvanta.magnification(0.05, 0.1, getattr(mirvanta, name)(*SAMPLES[name])) > 1
    with pytest.raises(TypeError, match=r"Power2, Logarithmic, Claret or Profile, not 'float'"):
        mirvanta.magnification(0.05, 0.1, 0.6)


# One brightness, two laws: the same terms give the same bits; the same brightness in other terms
# (another order of additions) within the rounding of the tolerance.
U = np.array([0.0, 0.03, 0.07, 0.0999, 0.1, 0.1001, 0.13, 0.3, 2.0])


@pytest.mark.parametrize("first, second, exact", [
    (("Logarithmic", 0.6, 0.0), ("Linear", 0.6), True),
    (("Claret", 0.0, 0.7, 0.0, 0.0), ("Linear", 0.7), True),
    (("Claret", 0.4, 0.3, 0.0, 0.0), ("SquareRoot", 0.3, 0.4), False),
    (("Claret", 0.0, 0.5 + 2 * 0.2, 0.0, -0.2), ("Quadratic", 0.5, 0.2), False),
    (("Claret", 0.0, 0.0, 0.0, 0.3), ("Power2", 0.3, 2.0), False),
])
def test_one_brightness_written_as_two_laws(mirvanta, first, second, exact):
    a, b = (getattr(mirvanta, law[0])(*law[1:]) for law in (first, second))
    for u in (U, np.linspace(0.0, 0.3, 500)):  # one at a time, and the interpolant's route
        x, y = mirvanta.magnification(u, 0.1, a, rtol=1e-12), mirvanta.magnification(u, 0.1, b, rtol=1e-12)
        if exact:
            assert np.array_equal(x, y)
        else:
            np.testing.assert_allclose(x, y, rtol=3e-12, atol=0)
