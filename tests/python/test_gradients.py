"""magnification_and_gradient and light_curve_and_jacobian: their shapes, their values against
Richardson-extrapolated differences of magnification and light_curve at the finest tolerance
(an independent route: the derivatives come from integrals of the disk's derivatives, the
differences from the values alone), the limits they must keep and the refusals they share with
the functions they differentiate."""

import math
import warnings

import numpy as np
import pytest


def richardson(f, x, h):
    """df/dx at x from central differences of steps h and h/2, extrapolated (error O(h^4))."""
    d1 = (f(x + h) - f(x - h)) / (2 * h)
    d2 = (f(x + h / 2) - f(x - h / 2)) / h
    return (4 * d2 - d1) / 3


def laws(m):
    return [None, m.Linear(0.6), m.Quadratic(0.5, 0.2), m.SquareRoot(0.3, 0.4), m.Power2(0.6, 0.7),
            m.Logarithmic(0.6, 0.2), m.Claret(0.6, -0.3, 0.9, -0.45),
            m.Profile([0.0, 0.4, 0.4, 0.8, 1.0], [1.0, 0.9, 0.6, 0.5, 0.2])]


def coefficients(m, law):
    """The law's coefficients as its constructor takes them, and a law from them."""
    if law is None:
        return [], lambda c: None
    if isinstance(law, m.Profile):
        return list(law.brightness), lambda c: m.Profile(law.radii, c)
    names = {"Linear": ["c"], "Quadratic": ["a", "b"], "SquareRoot": ["c", "d"], "Power2": ["c", "alpha"],
             "Logarithmic": ["c", "d"], "Claret": ["a1", "a2", "a3", "a4"]}
    return [getattr(law, name) for name in names[type(law).__name__]], lambda c: type(law)(*c)


def test_shapes_follow_the_broadcast_with_one_axis_for_the_coefficients(mirvanta):
    a, du, drho, dlimb = mirvanta.magnification_and_gradient(0.02, 0.05, mirvanta.Quadratic(0.5, 0.2))
    assert all(isinstance(v, float) for v in (a, du, drho)) and dlimb.shape == (2,)
    a, du, drho, dlimb = mirvanta.magnification_and_gradient(np.zeros((3, 1)), np.full(4, 0.05))
    assert a.shape == du.shape == drho.shape == (3, 4) and dlimb.shape == (3, 4, 0)
    profile = mirvanta.Profile([0.0, 0.5, 1.0], [1.0, 0.8, 0.3])
    assert mirvanta.magnification_and_gradient([0.01, 0.02], 0.05, profile)[3].shape == (2, 3)
    a, jacobian = mirvanta.light_curve_and_jacobian(np.zeros((2, 5)), 0.0, 0.1, 20.0, 0.05, mirvanta.Linear(0.6))
    assert a.shape == (2, 5) and jacobian.shape == (2, 5, 5)
    a, jacobian = mirvanta.light_curve_and_jacobian(1.0, 0.0, 0.1, 20.0, 0.05)
    assert isinstance(a, float) and jacobian.shape == (4,)


@pytest.mark.parametrize("rho", [0.01, 0.3, 3.0])
def test_gradient_against_differences_of_the_values(mirvanta, rho):
    # Separations through the source, on both sides of the limb and far out (the series), one at a
    # time and as one call (which builds the interpolant).
    u = rho * np.array([0.0, 0.3, 0.8, 0.98, 1.02, 1.5, 3.0, 12.0])
    many = rho * np.linspace(0.02, 2.5, 300)
    for law in laws(mirvanta):
        c, make = coefficients(mirvanta, law)
        def value(x, r, cs=None):
            with warnings.catch_warnings():  # steps of the table reach 1e-13 only within their rounding
                warnings.simplefilter("ignore", RuntimeWarning)
                return mirvanta.magnification(x, r, make(cs) if cs is not None else law, rtol=1e-13)
        for separations in (u, many[::37]):
            a, du, drho, dlimb = mirvanta.magnification_and_gradient(separations if separations is u else many, rho, law)
            if separations is not u:
                a, du, drho, dlimb = (v[::37] for v in (a, du, drho, dlimb))
            for i, x in enumerate(separations):
                scale = max(abs(du[i]), a[i] / rho)
                h = 2e-4 * rho
                if x > 0:
                    assert du[i] == pytest.approx(richardson(lambda y: value(y, rho), x, h), abs=1e-8 * scale)
                assert drho[i] == pytest.approx(richardson(lambda r: value(x, r), rho, h), abs=1e-8 * scale)
                for j in range(len(c)):
                    def at(cj):
                        cs = list(c)
                        cs[j] = cj
                        return value(x, rho, cs)
                    step = 1e-3 * max(abs(c[j]), 0.1)
                    assert dlimb[i, j] == pytest.approx(richardson(at, c[j], step), abs=1e-8 * a[i]), (law, x, j)


def test_the_value_is_magnifications_within_rtol(mirvanta):
    u = np.linspace(0.0, 0.2, 500)
    for law in laws(mirvanta):
        a = mirvanta.magnification_and_gradient(u, 0.05, law, rtol=1e-10)[0]
        assert a == pytest.approx(mirvanta.magnification(u, 0.05, law, rtol=1e-10), rel=2e-10)


def test_the_jacobian_is_the_chain_rule_of_the_gradient(mirvanta):
    law = mirvanta.Quadratic(0.5, 0.2)
    t = np.linspace(7440.0, 7460.0, 301)
    t0, u0, t_e, rho = 7450.0, 0.01, 20.0, 0.02
    a, jacobian = mirvanta.light_curve_and_jacobian(t, t0, u0, t_e, rho, law)
    curve = lambda **kw: mirvanta.light_curve(t, **{"t0": t0, "u0": u0, "tE": t_e, "rho": rho, "limb": law, **kw},
                                              rtol=1e-13)
    for column, (name, x, h) in enumerate([("t0", t0, 1e-3), ("u0", u0, 1e-5), ("tE", t_e, 1e-3), ("rho", rho, 1e-5)]):
        expected = richardson(lambda v: curve(**{name: v}), x, h)
        scale = np.maximum(np.abs(expected), a / rho) * (1.0 if name in ("u0", "rho") else 1.0 / t_e)
        assert np.all(np.abs(jacobian[:, column] - expected) <= 1e-7 * scale), name
    assert np.array_equal(a, mirvanta.light_curve(t, t0, u0, t_e, rho, law)) or \
        np.allclose(a, mirvanta.light_curve(t, t0, u0, t_e, rho, law), rtol=2e-10)


def test_the_lens_through_the_centre_gives_the_limit_not_nan(mirvanta):
    # u0 = 0 at t = t0: u = 0, where dA/du = 0 by symmetry; each column's limit is 0.
    a, jacobian = mirvanta.light_curve_and_jacobian(np.array([-1.0, 0.0, 1.0]), 0.0, 0.0, 10.0, 0.05,
                                                    mirvanta.Linear(0.6))
    assert np.all(np.isfinite(jacobian))
    assert list(jacobian[1, :3]) == [0.0, 0.0, 0.0]
    assert jacobian[1, 3] != 0.0  # dA/drho is not 0 there


def test_special_values(mirvanta):
    a, du, drho, dlimb = mirvanta.magnification_and_gradient([math.nan, math.inf, 1.0], [0.05, 0.05, 0.0],
                                                             mirvanta.Linear(0.6))
    assert math.isnan(a[0]) and math.isnan(du[0]) and math.isnan(drho[0])
    assert (a[1], du[1], drho[1]) == (1.0, 0.0, 0.0) and list(dlimb[1]) == [0.0]
    # rho = 0, the point source: (u^2 + 2) / (u sqrt(u^2 + 4)), whose derivative is -8 / (u^2 (u^2 + 4)^1.5)
    assert a[2] == pytest.approx(3 / math.sqrt(5), rel=1e-15)
    assert du[2] == pytest.approx(-8 / 5 ** 1.5, rel=1e-12)
    assert drho[2] == 0.0 and list(dlimb[2]) == [0.0]


@pytest.mark.parametrize("call, exception, match", [
    (lambda m: m.magnification_and_gradient(0.1, -0.05), ValueError, r"rho must be at least 0"),
    (lambda m: m.magnification_and_gradient([0.1, -1.0], 0.05), ValueError, r"u\[1\] = -1.0"),
    (lambda m: m.magnification_and_gradient(0.1, 0.05, rtol=0.0), ValueError, r"rtol must be above 0"),
    (lambda m: m.magnification_and_gradient(np.array([1j]), 0.05), TypeError, r"complex"),
    (lambda m: m.light_curve_and_jacobian(0.0, 0.0, 0.1, 0.0, 0.05), ValueError, r"tE must be a finite number above 0"),
    (lambda m: m.light_curve_and_jacobian(0.0, math.nan, 0.1, 1.0, 0.05), ValueError, r"t0 must be a finite number"),
    (lambda m: m.magnification_and_gradient(0.1, 0.05, "quadratic"), TypeError, r"limb must be None"),
])
def test_refusals_are_those_of_the_values(mirvanta, call, exception, match):
    with pytest.raises(exception, match=match):
        call(mirvanta)


def test_a_batch_of_jacobians_is_its_events_one_by_one(mirvanta):
    # Events broadcast as light_curve's: parameters of shape (n, 1) against times of shape (m,);
    # each event's rows the same bits as that event alone.
    law = mirvanta.Quadratic(0.5, 0.2)
    t = np.linspace(-30.0, 30.0, 200)
    t0 = np.array([0.0, 1.0, 2.0])[:, None]
    u0 = np.array([0.01, 0.1, 0.0])[:, None]
    rho = np.array([0.02, 0.3, 1.0])[:, None]
    a, jacobian = mirvanta.light_curve_and_jacobian(t, t0, u0, 20.0, rho, law)
    assert a.shape == (3, 200) and jacobian.shape == (3, 200, 6)
    for e in range(3):
        one_a, one_j = mirvanta.light_curve_and_jacobian(t, t0[e, 0], u0[e, 0], 20.0, rho[e, 0], law)
        assert np.array_equal(one_a, a[e]) and np.array_equal(one_j, jacobian[e])
    with pytest.raises(ValueError, match=r"tE\[1\] = -1.0"):
        mirvanta.light_curve_and_jacobian(t[:, None], 0.0, 0.1, np.array([20.0, -1.0]), 0.05)
