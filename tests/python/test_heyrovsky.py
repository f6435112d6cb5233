"""Ring magnification through the module against the mean of the point-source magnification over
the ring by mpmath, and its failures as Python exceptions. The identities derived by hand (the
lens at the centre, symmetry, the far field, the singular values) are tested on the kernel, in
tests/cpp/test_kernels.cpp."""

import math

import mpmath
import pytest

from conftest import ring_mean


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


@pytest.mark.parametrize("scale", [1e-300, 1e-163, 1e-160, 1e-100, 1e-61, 1e60, 1e155, 1e300])  # q = 1 / scale
@pytest.mark.parametrize("l, r", [(1.0, 2.0), (1.0, 1.001), (0.3, 0.0)])
def test_rings_at_any_scale_are_the_ring_mean(mirvanta, scale, l, r):
    # Only the ratios of l, r and q = re / rstar enter. At l, r of 1e-160 and 1e-161 source radii
    # the ring was 1.6e-5 and 1.7e-2 off (its products lost digits to underflow), from 1e-162 on it
    # raised, and from 1e154 on it raised or gave NaN where its products overflowed.
    value = mirvanta.heyrovsky_magnification(l * scale, r * scale, 1.0, 1.0)
    reference = ring_mean(mpmath.mpf(l), mpmath.mpf(r), 1 / mpmath.mpf(scale), dps=40)
    assert value == pytest.approx(float(reference), rel=1e-13)


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
