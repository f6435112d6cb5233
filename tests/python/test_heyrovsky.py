"""Ring magnification against the mean of the point-source magnification over the ring."""

import math

import pytest

from conftest import point_source, ring_mean


@pytest.mark.parametrize("l, r, re, rstar", [
    (0.5, 1.0, 1.0, 0.1), (0.2, 0.9, 1.0, 1.0), (1.3, 0.4, 2.0, 1.0), (3.0, 1.0, 0.5, 1.0),
    (1.0, 1.0 + 1e-3, 1.0, 1.0), (1.0, 1.0 - 1e-3, 1.0, 0.01), (0.01, 0.02, 1.0, 0.1), (40.0, 1.0, 1.0, 0.1),
])
def test_elliptic_form_is_the_ring_mean(mirvanta, l, r, re, rstar):
    assert mirvanta.heyrovsky_magnification(l, r, re, rstar) == pytest.approx(
        float(ring_mean(l, r, re / rstar)), rel=1e-12)


@pytest.mark.parametrize("l, f, q", [
    (1.0, 0.99e-5, 1.0), (1.0, -0.5e-5, 1.0), (0.5, 1e-7, 0.1), (2.0, -1e-9, 3.0), (1.0, 1e-5, 1.0), (1.0, -1e-4, 1.0),
    # Rings of radius comparable to f, and f = 0.02 (l + r) on either side of the near-ring zone.
    (1e-7, 9e-6, 1.0), (1e-5, -0.9e-5, 10.0), (1.0, 0.0404, 1.0), (1.0, 0.0412, 1.0),
])
def test_next_to_the_ring_is_the_ring_mean(mirvanta, l, f, q):
    assert mirvanta.heyrovsky_magnification(l, l + f, q, 1.0) == pytest.approx(
        float(ring_mean(l, l + f, q, dps=40)), rel=1e-12)


@pytest.mark.parametrize("r, q", [(1e-5, 1.0), (0.3, 0.5), (1.0, 10.0), (2.0, 0.01)])
def test_lens_at_the_ring_centre_is_a_point_source(mirvanta, r, q):
    assert mirvanta.heyrovsky_magnification(0.0, r, q, 1.0) == pytest.approx(point_source(r / q), rel=1e-14)
    assert mirvanta.heyrovsky_magnification(r, 0.0, q, 1.0) == pytest.approx(point_source(r / q), rel=1e-14)


def test_symmetry_and_far_field(mirvanta):
    h = mirvanta.heyrovsky_magnification
    for l, r in [(0.3, 0.9), (2.0, 0.5), (1.0, 1.00002)]:
        assert h(l, r, 2.0, 1.0) == h(r, l, 2.0, 1.0)
    for l in (50.0, 500.0):
        assert h(l, 1.0, 2.0, 1.0) == pytest.approx(point_source(l / 2.0), rel=1 / l**2)


def test_singular_and_degenerate_values(mirvanta):
    h = mirvanta.heyrovsky_magnification
    assert h(0.7, 0.7, 1.0, 0.1) == math.inf  # the lens on the ring
    assert h(0.0, 0.5e-5, 1.0, 1.0) == pytest.approx(point_source(0.5e-5), rel=1e-14)  # the lens at the centre
    assert math.isnan(h(0.0, 0.0, 1.0, 1.0))
    assert math.isnan(h(1.0, 1.0, math.nan, 1.0))  # next to the ring: NaN, no error


@pytest.mark.parametrize("args", [
    (-1.0, 1.0, 1.0, 1.0), (math.nan, 1.0, 1.0, 1.0), (1.0, math.nan, 1.0, 1.0), (1.0, 2.0, 1.0, 0.0),
    (1.0, 2.0, math.nan, 1.0), (1.0, 2.0, 1.0, math.nan), (1.0, -2.0, 1.0, 1.0),
])
def test_elliptic_failures_raise_runtime_error(mirvanta, args):
    with pytest.raises(RuntimeError) as caught:
        mirvanta.heyrovsky_magnification(*args)
    assert caught.value.args == ("ellipk: Arguments cannot be NAN.",)
    assert type(caught.value) is RuntimeError
    assert not getattr(caught.value, "__notes__", None)
