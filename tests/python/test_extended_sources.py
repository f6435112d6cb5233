"""Limb-darkened and flux-map sources, against independent references: the linear limb-darkening
law integrated with mpmath over the disk (ring means of the point-source magnification), the
uniform disk, the ring magnification and the point-source limit."""

import math

import mpmath
import pytest

from conftest import FLUX_MAPS, limb_darkened_disk, point_source, run_python

INTEGRATED = ["integrated_witt_mao_magnification", "integrated_heyrovsky_magnification"]


def limb_darkened(l, rho, dps=15):
    """Linear limb darkening (coefficient 0.6) by mpmath."""
    return limb_darkened_disk(l, rho, lambda r: 1 - mpmath.mpf("0.6") * (1 - mpmath.sqrt(1 - r * r)), dps=dps)


# Through the module, at points that tests/cpp/data/limb_darkened.txt (a 2-D integration about the
# lens) does not hold; LimbDarkened.AgainstTwoDimensionalIntegration checks the kernel there.
@pytest.mark.parametrize("l, rho", [(10.0, 0.05), (1.2, 0.5)])
def test_limb_darkened_disk_against_mpmath(mirvanta, l, rho):
    value = mirvanta.integrated_witt_mao_magnification([l], 1.0, rho)[0]
    assert value == pytest.approx(float(limb_darkened(l, rho)), rel=1e-10)


def test_ring_variant_is_the_radial_derivative_form(mirvanta):
    # With the lens outside, the ring variant departs from the physical limb-darkened value by a
    # few percent, falling off with distance; inside the source it is not a physical value.
    for l, low, high in [(1.5, 0.03, 0.12), (3.0, 0.005, 0.03), (10.0, 3e-4, 3e-3)]:
        ring = mirvanta.integrated_heyrovsky_magnification([l], 1.0, 0.1)[0]
        excess = ring / float(limb_darkened(l, 0.1)) - 1
        assert low < excess < high, (l, excess)
    disk = mirvanta.integrated_witt_mao_magnification([0.5], 1.0, 0.1)[0]
    assert mirvanta.integrated_heyrovsky_magnification([0.5], 1.0, 0.1)[0] != pytest.approx(disk, rel=0.01)


@pytest.mark.parametrize("name", ["integrated_witt_mao_magnification", "integrated_flux_map_witt_mao_magnification"])
@pytest.mark.parametrize("rho, u", [(1e-8, 1.0), (1e-8, 10.0), (1e-6, 10.0), (1e-4, 10.0)])
def test_small_source_far_away_is_a_point_source(mirvanta, name, rho, u):
    # Every quadrature node's disk is at least 1000 of its radii from the lens: the finite-source
    # effect is below 1e-13 here, and the result is the point source to the quadrature's accuracy.
    args = ([u / rho], 1.0, rho) + (([0.0, 1.0], [1.0, 0.4]) if "flux_map" in name else ())
    value = getattr(mirvanta, name)(*args)[0]
    assert value == pytest.approx(point_source(u), rel=1e-13)


@pytest.mark.parametrize("name", ["witt_mao_magnification"] + INTEGRATED + FLUX_MAPS)
def test_empty_separations(mirvanta, name):
    args = ([], 1.0, 0.1) if name not in FLUX_MAPS else ([], 1.0, 0.1, [0.5], [1.0])
    assert getattr(mirvanta, name)(*args) == []


def test_sampled_limb_darkening_law_matches_the_integrated_disk(mirvanta):
    radii = [i / 400 for i in range(401)]
    brightness = [1 - 0.6 * (1 - math.sqrt(1 - r * r)) for r in radii]
    l = [1.3, 2.0, 6.0]
    mapped = mirvanta.integrated_flux_map_witt_mao_magnification(l, 1.0, 0.1, radii, brightness)
    direct = mirvanta.integrated_witt_mao_magnification(l, 1.0, 0.1)
    assert mapped == pytest.approx(direct, rel=1e-5)


def thin_uniform_disks(mirvanta, l, rho, radii, brightness, nodes=24):
    """The piecewise-linear map through (radii from 0 to 1, brightness) as a stack of uniform disks,
    another route than the flux-map function's annuli: by parts, its magnified flux is
    pi [I(1) A(u, rho) - sum over the map's intervals of slope * int r^2 A(u, r rho) dr], with A the
    uniform disk of radius r rho, and its flux the same with A = 1. Gauss-Legendre with `nodes`
    nodes on each interval, split at r = l, where A bends (5e-10 at 24 nodes, 3e-11 at 48)."""
    np = pytest.importorskip("numpy")  # the debug builds of CPython have no NumPy wheels
    x, w = np.polynomial.legendre.leggauss(nodes)

    def disk(r):
        return mirvanta.witt_mao_magnification([l / r], 1.0, r * rho)[0]

    magnified, flux = brightness[-1] * disk(1.0), brightness[-1]
    for r0, r1, b0, b1 in zip(radii, radii[1:], brightness, brightness[1:]):
        slope = (b1 - b0) / (r1 - r0)
        for a, b in ([(r0, l), (l, r1)] if r0 < l < r1 else [(r0, r1)]):
            for xi, wi in zip(x, w):
                r = (a + b) / 2 + (b - a) / 2 * xi
                magnified -= slope * (b - a) / 2 * wi * r * r * disk(r)
                flux -= slope * (b - a) / 2 * wi * r * r
    return magnified / flux


QUADRATIC_40 = ([i / 39 for i in range(40)],
                [1 - 0.4 * (1 - math.sqrt(1 - (i / 39) ** 2)) - 0.25 * (1 - math.sqrt(1 - (i / 39) ** 2)) ** 2
                 for i in range(40)])


@pytest.mark.parametrize("radii, brightness", [QUADRATIC_40, ([0.0, 0.5, 0.9, 1.0], [1.0, 0.9, 0.6, 0.4])],
                         ids=["quadratic law at 40 radii", "README map"])
def test_flux_map_inside_the_source_against_a_sum_of_uniform_disks(mirvanta, radii, brightness):
    # The maps of examples/light_curves.py and of the README, rho = 0.05, the lens at 50 places
    # inside the source. What is left is the quadrature's at the map's corners (2.2e-6 and 3.3e-6
    # at most here), which largely cancels between the magnified and the unmagnified flux when
    # both are taken over the same pieces (4.4e-6 and 1.5e-5 with the flux over [0, 1]); across
    # the bend at the lens, over [0, 1], it was 1.5e-2 and 1.9e-2.
    rho = 0.05
    ls = [(k + 0.5) / 50 for k in range(50)]
    mapped = mirvanta.integrated_flux_map_witt_mao_magnification(ls, 1.0, rho, radii, brightness)
    errors = [m / thin_uniform_disks(mirvanta, l, rho, radii, brightness) - 1 for m, l in zip(mapped, ls)]
    assert max(map(abs, errors)) < 1e-5


def test_partial_map_is_dark_outside_its_radii(mirvanta):
    # A constant map on 0.1..0.9: the magnified flux of that annulus, i.e. two uniform disks.
    rho, l = 0.1, 2.5
    disk = lambda r: mirvanta.witt_mao_magnification([l / r], 1.0, r * rho)[0]  # noqa: E731
    expected = (0.81 * disk(0.9) - 0.01 * disk(0.1)) / 0.8
    value = mirvanta.integrated_flux_map_witt_mao_magnification([l], 1.0, rho, [0.1, 0.9], [1.0, 1.0])[0]
    # The jumps of the profile at 0.1 and 0.9 cost the quadrature its usual accuracy.
    assert value == pytest.approx(expected, rel=1e-4)
    assert value != pytest.approx(mirvanta.witt_mao_magnification([l], 1.0, rho)[0], rel=2e-3)


def test_discrete_map_weights(mirvanta):
    d = mirvanta.discrete_flux_map_heyrovsky_magnification
    rings = [mirvanta.heyrovsky_magnification(2.0, r, 1.0, 0.1) for r in (0.2, 0.7)]
    assert d([2.0], 1.0, 0.1, [0.2, 0.7], [0.25, 2.0]) == [0.0 + rings[0] * 0.25 + rings[1] * 2.0]
    assert d([0.3, 5.0], 1.0, 0.1, [], []) == [0.0, 0.0]
    assert d([0.7], 1.0, 0.1, [0.7], [1.0]) == [math.inf]
    assert math.isnan(d([0.7], 1.0, 0.1, [0.7], [0.0])[0])
    far = d([400.0], 1.0, 0.01, [0.2, 0.9], [0.5, 1.5])[0]
    assert far == pytest.approx(2.0 * point_source(4.0), rel=1e-6)


@pytest.mark.parametrize("args", [([1.0, -1.0], 1.0, 0.1, [0.5], [1.0]), ([1.0], 1.0, 0.1, [math.nan], [1.0]),
                                  ([1.0], 1.0, 0.0, [0.5], [1.0]),
                                  # a batch long enough to be shared, failing only at its end
                                  ([0.5 + i * 1e-3 for i in range(3000)] + [-1.0], 1.0, 0.1,
                                   [i / 39 for i in range(40)], [1.0] * 40)])
def test_discrete_map_raises_the_first_ring_failure(mirvanta, args):
    with pytest.raises(RuntimeError) as caught:
        mirvanta.discrete_flux_map_heyrovsky_magnification(*args)
    assert caught.value.args == ("ellipk: Arguments cannot be NAN.",)


@pytest.mark.parametrize("name", ["integrated_flux_map_witt_mao_magnification",
                                  "integrated_flux_map_heyrovsky_magnification"])
@pytest.mark.parametrize("bl, bf", [([], []), ([0.2, 0.8], [0.0, 0.0]), ([1.5, 2.0], [1.0, 1.0])])
def test_integrated_maps_without_flux_are_nan(mirvanta, name, bl, bf):
    assert all(math.isnan(x) for x in getattr(mirvanta, name)([0.5, 3.0], 1.0, 0.1, bl, bf))


def test_mismatched_map_lengths_panic():
    result = run_python("""
        import mirvanta
        for name in ("discrete_flux_map_heyrovsky_magnification", "integrated_flux_map_witt_mao_magnification",
                     "integrated_flux_map_heyrovsky_magnification"):
            for l in ([], [1.0]):
                try:
                    getattr(mirvanta, name)(l, 1.0, 0.1, [0.1, 0.2], [1.0, 1.0, 1.0])
                except Exception:
                    print("caught by except Exception")
                except BaseException as panic:
                    print(type(panic).__name__, repr(panic.args[0]))
        print(mirvanta.discrete_flux_map_heyrovsky_magnification([2.0], 1.0, 0.1, [0.5], [1.0])[0] > 1)
    """)
    lines = result.stdout.splitlines()
    assert lines[:6] == ["PanicException 'assertion `left == right` failed\\n  left: 2\\n right: 3'"] * 6
    assert lines[6] == "True"
    assert result.stderr.count("panicked at src/models/flux_map.cpp") == 6
