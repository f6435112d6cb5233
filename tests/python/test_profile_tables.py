"""Light curves of the laws served from the bases' tables (linear, quadratic, square-root and
Claret laws; many epochs of one radius in [0.1, 10], rtol 1e-11 and more): within rtol of the
engine one epoch a call at rtol 1e-13 and of a two-dimensional mpmath integral over the disk;
events in a batch keep their bits. Which calls take the tables is tested in tests/cpp
(test_profile_table.cpp, by the call's counts)."""

import math

import pytest

from conftest import limb_darkened_disk

np = pytest.importorskip("numpy")

LAWS = [("Linear", (0.6,)), ("Quadratic", (0.5, 0.2)), ("Quadratic", (0.1, 0.8)), ("SquareRoot", (0.3, 0.4)),
        ("Claret", (0.6, -0.3, 0.9, -0.45))]


@pytest.mark.parametrize("name, coefficients", LAWS)
@pytest.mark.parametrize("rho", [0.1, 0.7, 3.0, 10.0])
@pytest.mark.parametrize("rtol", [1e-10, 1e-6])
def test_curves_are_within_rtol_of_the_engine_at_its_finest(mirvanta, name, coefficients, rho, rtol):
    law = getattr(mirvanta, name)(*coefficients)
    t = np.linspace(-2.5, 2.5, 700)
    u0 = 0.3 * rho
    curve = mirvanta.light_curve(t * rho, 0.0, u0, 1.0, rho, law, rtol=rtol)
    u = np.hypot(u0, t * rho)
    near = np.flatnonzero(u < 2.2 * rho)
    assert len(near) > 300
    for i in near[::6]:
        exact = mirvanta.magnification(float(u[i]), rho, law, rtol=1e-13)
        assert abs(curve[i] / exact - 1.0) <= rtol, (u[i], rho)


def test_a_value_against_a_two_dimensional_integral(mirvanta):
    a, b = 0.5, 0.2

    def brightness(r):
        mu = (1 - r * r) ** 0.5
        return 1 - a * (1 - mu) - b * (1 - mu) ** 2

    rho, l = 1.3, 0.6
    u = np.linspace(0.0, 2.0 * rho, 64)
    u[20] = l * rho
    values = mirvanta.magnification(u, rho, mirvanta.Quadratic(a, b), rtol=1e-10)
    reference = float(limb_darkened_disk(l, rho, brightness, dps=20))
    assert math.isclose(values[20], reference, rel_tol=1e-10)


def test_events_of_a_batch_keep_their_bits(mirvanta):
    law = mirvanta.Quadratic(0.5, 0.2)
    t = np.linspace(-4.0, 4.0, 500)
    t0 = np.array([[0.0], [0.5], [1.0]])
    batch = mirvanta.light_curve(t, t0, 0.1, 2.0, 1.5, law)
    for e in range(3):
        assert np.array_equal(batch[e], mirvanta.light_curve(t, float(t0[e, 0]), 0.1, 2.0, 1.5, law))


def richardson(f, x, h):
    """df/dx at x from central differences of steps h and h/2, extrapolated (error O(h^4))."""
    return (4 * (f(x + h / 2) - f(x - h / 2)) / h - (f(x + h) - f(x - h)) / (2 * h)) / 3


@pytest.mark.parametrize("name, coefficients", LAWS)
@pytest.mark.parametrize("rho", [0.1, 0.7, 6.0])
@pytest.mark.parametrize("rtol", [1e-8, 1e-6])
def test_derivatives_of_a_call_the_tables_serve(mirvanta, name, coefficients, rho, rtol):
    """Many separations of one radius at rtol 1e-8 and 1e-6 (where the tables' derivatives hold):
    each derivative within rtol of the engine's at 1e-13 one separation a call, relative to the
    larger of its size and A/rho (A for a coefficient's), and of Richardson-extrapolated
    differences of values at 1e-13 away from the limb; A within rtol of the value."""
    law = getattr(mirvanta, name)(*coefficients)
    x = np.concatenate([np.linspace(0.0, 2.0, 181)[1:], 1.0 + np.array([-1, 1]) * 10 ** -3.7])
    u = x * rho
    a, du, drho, dlimb = mirvanta.magnification_and_gradient(u, rho, law, rtol=rtol)
    for i in range(0, len(u), 7):
        ea, edu, edrho, edlimb = mirvanta.magnification_and_gradient(float(u[i]), rho, law, rtol=1e-13)
        scale = max(ea / rho, abs(edu), abs(edrho))
        assert abs(a[i] / ea - 1) <= rtol
        assert abs(du[i] - edu) <= rtol * max(abs(edu), ea / rho), (x[i], rho)
        assert abs(drho[i] - edrho) <= rtol * max(abs(edrho), ea / rho), (x[i], rho)
        assert np.all(np.abs(dlimb[i] - edlimb) <= rtol * np.maximum(np.abs(edlimb), ea)), (x[i], rho)
        if abs(x[i] - 1) > 0.05 and x[i] > 0.05:
            h = 1e-3 * rho

            def value_u(v):
                return mirvanta.magnification(v, rho, law, rtol=1e-13)

            def value_rho(r):
                return mirvanta.magnification(float(u[i]), r, law, rtol=1e-13)

            # the differences' own floor: 1e-13 A / h
            floor = 1e-13 * ea / h + 1e-10 * scale
            assert abs(du[i] - richardson(value_u, float(u[i]), h)) <= rtol * scale + floor
            assert abs(drho[i] - richardson(value_rho, rho, h)) <= rtol * scale + floor
