"""Uniform-disk magnification through the module against mpmath: the value on the limb, the area
average of the point-source magnification and the closed form far away; and the batch's units.
The identities derived by hand (the lens at the centre, the point-source limit, degenerate radii)
are tested on the kernel, in tests/cpp/test_kernels.cpp."""

import math
import random

import mpmath
import pytest

from conftest import uniform_disk, witt_mao_closed_form


def disk(mirvanta, u, rho):
    """The uniform-disk magnification at u Einstein radii, through the batch function."""
    return mirvanta.witt_mao_magnification([u / rho], 1.0, rho)[0]


def limb_value(rho):
    """Exact magnification with the lens on the limb, (2/rho + (1 + 1/t)(asin((t - 1)/(t + 1)) + pi/2))/pi
    with t = rho^2, at 50 digits (in doubles the asin form cancels for small rho)."""
    with mpmath.workdps(50):
        rho = mpmath.mpf(rho)
        t = rho * rho
        return float((2 / rho + (1 + 1 / t) * (mpmath.asin((t - 1) / (t + 1)) + mpmath.pi / 2)) / mpmath.pi)


@pytest.mark.parametrize("rho", [1.0, 0.1, 2.0, 0.003, 1e-7, 100.0])
def test_lens_on_the_limb(mirvanta, rho):
    assert mirvanta.witt_mao_magnification([1.0], 1.0, rho)[0] == pytest.approx(limb_value(rho), rel=1e-15)


def test_lens_on_the_limb_of_a_source_one_einstein_radius_wide(mirvanta):
    # By hand: with t = rho^2 = 1 the limb value is (2 + 2 (asin 0 + pi/2)) / pi = 1 + 2/pi.
    assert mirvanta.witt_mao_magnification([1.0], 1.0, 1.0)[0] == pytest.approx(1 + 2 / math.pi, rel=1e-15)


@pytest.mark.parametrize("u, rho", [(0.3, 0.1), (0.05, 0.1), (0.0999, 0.1), (2.0, 0.5), (0.5, 1.0), (1.5, 1.0),
                                    (0.02, 0.001), (0.0005, 0.001), (3.0, 2.0)])
def test_area_average_of_the_point_source(mirvanta, u, rho):
    assert disk(mirvanta, u, rho) == pytest.approx(float(uniform_disk(u, rho)), rel=1e-12)


@pytest.mark.parametrize("rho", [1e-7, 1e-5, 1e-3, 0.1, 1.0, 30.0])
def test_through_the_limb(mirvanta, rho):
    # On both sides of the limb, from next to it to beyond the limb zone (|u - rho| < 0.04 rho),
    # for small sources also within 1e-5 of the limb, beyond the limb zone: no constant stands in
    # for the magnification there.
    ratios = [1 + s * x for x in (1e-15, 1e-10, 1e-5, 1e-3, 0.0399, 0.0401, 0.5) for s in (1, -1)]
    values = mirvanta.witt_mao_magnification(ratios, 1.0, rho)
    for ratio, value in zip(ratios, values):
        u = ratio * rho  # as the batch forms it
        assert value == pytest.approx(float(witt_mao_closed_form(u, rho, dps=90)), rel=1e-12), ratio


@pytest.mark.parametrize("l, rho", [(1.0424, 19424.0), (1.05, 0.999 * 2.0**27), (0.5, 113.0), (1.0424, 113.0),
                                    (0.9553, 299246.0), (1.0 + 1e-9, 5e5), (1.0 - 1e-9, 5e5), (3.0, 1e7)])
def test_large_sources_never_below_one(mirvanta, l, rho):
    # Where the excess over 1, below 2 / rho^2, is smaller than the closed form's rounding, its
    # result fell below 1 (0.9999999999997743 at l = 1.0424, rho = 19424): it is now 1 there.
    value = mirvanta.witt_mao_magnification([l], 1.0, rho)[0]
    u = l * rho  # as the batch forms it
    assert value >= 1.0
    assert value == pytest.approx(float(witt_mao_closed_form(u, rho, dps=90)), rel=1e-12, abs=0)


def far_field_sample(count, seed=7):
    """(rho, l) with rho log-uniform in [1e-10, 10] and l = u/rho log-uniform in (1000, 1e12], the
    corners of that range, and the separations reported as giving impossible values (among them
    a negative magnification and one below 1)."""
    rng = random.Random(seed)
    points = [(rho, l) for rho in (1e-10, 1e-6, 0.5, 10.0) for l in (1000.000001, 1e12)]
    points += [(1e-8, 1e8), (1e-8, 1e9), (1e-6, 1e7)]
    points += [(10 ** rng.uniform(-10, 1), 10 ** rng.uniform(3, 12)) for _ in range(count)]
    return points


def test_far_from_the_source_against_mpmath(mirvanta):
    # Beyond u = 1000 rho the kernel expands the mean of the point-source magnification in
    # (rho/u)^2; it agrees with the closed form at 60 digits to a few ulps and is never below 1.
    worst = 0.0
    for rho, l in far_field_sample(120):
        value = mirvanta.witt_mao_magnification([l], 1.0, rho)[0]
        assert value >= 1.0, (rho, l, value)
        with mpmath.workdps(30):
            worst = max(worst, float(abs(value / witt_mao_closed_form(l * rho, rho) - 1)))
    assert worst <= 1e-15


def test_batch_order_and_units(mirvanta):
    # l counts in source radii: with rho = 0.1, l = 10 is one Einstein radius. With the lens at the
    # centre the magnification is sqrt(rho^2 + 4) / rho, by hand: sqrt(401) here.
    at_centre, one_einstein_radius = mirvanta.witt_mao_magnification([0.0, 10.0], 1.0, 0.1)
    assert at_centre == pytest.approx(math.sqrt(401.0), rel=1e-15)
    assert one_einstein_radius == pytest.approx(float(uniform_disk(1.0, 0.1)), rel=1e-12)
    # Only the ratio of re and rstar enters.
    values = [0.3, 1.7, 25.0]
    assert mirvanta.witt_mao_magnification(values, 2.0, 0.5) == mirvanta.witt_mao_magnification(values, 4.0, 1.0)
