"""Ring magnification through the module against the mean of the point-source magnification over
the ring by mpmath, and its failures as Python exceptions. The identities derived by hand (the
lens at the centre, symmetry, the far field, the singular values) are tested on the kernel, in
tests/cpp/test_kernels.cpp."""

import math

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
