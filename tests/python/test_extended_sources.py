"""Limb-darkened and flux-map sources, against independent references: the linear limb-darkening
law integrated with mpmath over the disk (ring means of the point-source magnification), the
uniform disk, the ring magnification and the point-source limit."""

import importlib.util
import math
import random

import mpmath
import pytest

from conftest import FLUX_MAPS, FUNCTION_ORDER, FUNCTIONS, limb_darkened_disk, point_source, same_floats

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


def test_ring_variant_departs_from_the_limb_darkened_disk(mirvanta):
    # With the lens outside, the ring variant departs from the physical limb-darkened value by a
    # few percent, falling off with distance.
    for l, low, high in [(1.5, 0.03, 0.12), (3.0, 0.005, 0.03), (10.0, 3e-4, 3e-3)]:
        ring = mirvanta.integrated_heyrovsky_magnification([l], 1.0, 0.1)[0]
        excess = ring / float(limb_darkened(l, 0.1)) - 1
        assert low < excess < high, (l, excess)


@pytest.mark.parametrize("l, rho", [(1.5, 0.1), (3.0, 0.1), (1.2, 0.5)])
def test_ring_variant_against_its_integral_by_parts(mirvanta, l, rho):
    # The ring variant integrates d/dx (pi x^2 A(x)) p(x) over [0, 1], A the ring magnification of
    # radius x and p(x) = 0.4 + 0.6 sqrt(1 - x^2), with a central-difference derivative. By parts,
    # without any derivative: pi A(1) p(1) + 0.6 pi int_0^1 x^3 A(x) / sqrt(1 - x^2) dx, the latter
    # as int_0^(pi/2) sin^3(t) A(sin t) dt (by mpmath, the ring kernel called at each node). Both
    # divided by the flux the module uses, 0.8 pi to 1.6e-14.
    ring = lambda x: mirvanta.heyrovsky_magnification(l, float(x), 1.0, rho)  # noqa: E731
    with mpmath.workdps(20):
        tail = mpmath.quad(lambda t: mpmath.sin(t) ** 3 * ring(mpmath.sin(t)), [0, mpmath.pi / 2])
        expected = (mpmath.pi * ring(1.0) * mpmath.mpf("0.4") + mpmath.mpf("0.6") * mpmath.pi * tail) / (
            mpmath.mpf("0.8") * mpmath.pi)
    value = mirvanta.integrated_heyrovsky_magnification([l], 1.0, rho)[0]
    assert value == pytest.approx(float(expected), rel=2e-10)  # 4.1e-11 at most here


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


def thin_uniform_disks(mirvanta, l, rho, radii, brightness, nodes=20):
    """The piecewise-linear map through (radii, brightness), dark outside them, as a stack of
    uniform disks: another route than the flux-map function's annuli. Over each piece [a, b]
    between two radii, cut to [0, 1], where the brightness I is linear, integration by parts gives
    the magnified flux pi [I r^2 A(u, r rho)]_a^b - pi I' int_a^b r^2 A(u, r rho) dr, with A the
    uniform disk of radius r rho; the flux is the same with A = 1. Gauss-Legendre with `nodes`
    nodes, on intervals that shrink geometrically toward r = l, where A bends as
    (r - l) ln|r - l| (within 1e-12 of its own limit here)."""
    np = pytest.importorskip("numpy")
    x, w = np.polynomial.legendre.leggauss(nodes)

    def disk(r):
        return mirvanta.witt_mao_magnification([l / r], 1.0, r * rho)[0] if r > 0 else 0.0

    def r2_disk(a, b):  # int_a^b r^2 A dr, graded toward the bend when it lies in [a, b]
        cuts = {a, b}
        if a <= l <= b:
            cuts |= {min(max(l + side * (b - a) * 2.0 ** -k, a), b) for k in range(45) for side in (-1, 1)}
        cuts = sorted(cuts)
        return sum((q - p) / 2 * wi * r * r * disk(r) for p, q in zip(cuts, cuts[1:])
                   for xi, wi in zip(x, w) for r in [(p + q) / 2 + (q - p) / 2 * xi])

    pieces = [(0.0, 1.0, brightness[0], 0.0)] if len(radii) == 1 else [
        (max(r0, 0.0), min(r1, 1.0), b0 + (max(r0, 0.0) - r0) * (b1 - b0) / (r1 - r0), (b1 - b0) / (r1 - r0))
        for r0, r1, b0, b1 in zip(radii, radii[1:], brightness, brightness[1:]) if max(r0, 0.0) < min(r1, 1.0)]
    magnified = flux = 0.0
    for a, b, at_a, slope in pieces:
        at_b = at_a + (b - a) * slope
        magnified += at_b * b * b * disk(b) - at_a * a * a * disk(a) - (slope * r2_disk(a, b) if slope else 0.0)
        flux += at_b * b * b - at_a * a * a - slope * (b ** 3 - a ** 3) / 3
    return magnified / flux


def random_map(count, seed):
    """`count` random radii from the centre to the limb, with random brightness: the corners of a
    tabulated profile, not the gentle ones of a sampled law."""
    rng = random.Random(seed)
    return [0.0] + sorted(rng.uniform(0.0, 1.0) for _ in range(count - 2)) + [1.0], [rng.uniform(0.0, 2.0)
                                                                                  for _ in range(count)]


QUADRATIC_40 = ([i / 39 for i in range(40)],
                [1 - 0.4 * (1 - math.sqrt(1 - (i / 39) ** 2)) - 0.25 * (1 - math.sqrt(1 - (i / 39) ** 2)) ** 2
                 for i in range(40)])
MAPS = {
    "quadratic law at 40 radii": QUADRATIC_40,
    "four-radius map": ([0.0, 0.5, 0.9, 1.0], [1.0, 0.9, 0.6, 0.4]),
    "60 random radii": random_map(60, 1),
    "200 random radii": random_map(200, 2),
    "a step": ([0.0, 0.5, 0.5, 1.0], [1.0, 1.0, 0.3, 0.3]),
    "stops at 0.9": ([0.0, 0.5, 0.9], [1.0, 0.8, 0.6]),
    "starts at 0.1": ([0.1, 0.5, 1.0], [1.0, 0.8, 0.6]),
}


@pytest.mark.parametrize("radii, brightness", MAPS.values(), ids=MAPS.keys())
@pytest.mark.parametrize("rho", [0.05, 0.5])
def test_flux_map_against_the_exact_integral_of_its_profile(mirvanta, radii, brightness, rho):
    # The quadrature runs over the pieces between the map's radii, so that no corner of the profile
    # lies inside the interval it integrates; across the corners it was off by up to 8e-3 (200
    # random radii) inside the source and 7e-4 outside. What is left is the annuli's own width
    # (1e-6 at most here, largest next to the limb).
    ls = [0.05, 0.13, 0.3, 0.5, 0.77, 0.95, 0.999, 1.001, 1.2, 2.0, 5.0]
    mapped = mirvanta.integrated_flux_map_witt_mao_magnification(ls, 1.0, rho, radii, brightness)
    errors = [m / thin_uniform_disks(mirvanta, l, rho, radii, brightness) - 1 for m, l in zip(mapped, ls)]
    assert max(map(abs, errors)) < 2e-6, errors


@pytest.mark.parametrize("width, tolerance", [(0.001, 1e-3), (0.01, 1e-5), (0.05, 2e-6), (0.1, 2e-6), (0.15, 2e-6)])
def test_narrow_bands_are_never_nan(mirvanta, width, tolerance):
    # A uniform band between two radii: the rule over [0, 1] could find the band with none of its
    # first levels' nodes and stop at 0 / 0 (the band [0.2, 0.25] gave NaN with the lens at 0, 1.5
    # and 3 source radii; bands of width 0.1, for 26 of 91 positions with the lens at 3). The
    # annuli (half-width 1e-4) blur a band's edges, and the lens within it, by a share that grows
    # as the band narrows: 6.7e-4 for a band 0.001 wide with the lens in it, 8.7e-6 at 0.01 wide
    # (the rule integrates the annuli themselves to 1e-12 there).
    rho = 0.1
    ls = [0.0, 0.05, 0.5, 1.5, 3.0]
    for start in [k * (1 - width) / 6 for k in range(7)]:
        band = ([start, start + width], [1.0, 1.0])
        disk = mirvanta.integrated_flux_map_witt_mao_magnification(ls, 1.0, rho, *band)
        ring = mirvanta.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, *band)
        assert all(math.isfinite(x) for x in disk + ring), (band, disk, ring)
        for l, value in zip(ls[1:], disk[1:]):
            assert value == pytest.approx(thin_uniform_disks(mirvanta, l, rho, *band), rel=tolerance), (band, l)


def test_partial_map_is_dark_outside_its_radii(mirvanta):
    # A constant map on 0.1..0.9: the magnified flux of that annulus, i.e. two uniform disks.
    rho, l = 0.1, 2.5
    disk = lambda r: mirvanta.witt_mao_magnification([l / r], 1.0, r * rho)[0]  # noqa: E731
    expected = (0.81 * disk(0.9) - 0.01 * disk(0.1)) / 0.8
    value = mirvanta.integrated_flux_map_witt_mao_magnification([l], 1.0, rho, [0.1, 0.9], [1.0, 1.0])[0]
    # Integrated over the map's one piece, its edges cost nothing but the annuli's width.
    assert value == pytest.approx(expected, rel=1e-9)
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


NOT_MAPS = [
    # (bl, bf, the ValueError's text)
    ([0.5, 0.2, 0.8], [1.0, 1.0, 1.0],
     "bl must be ascending; the first radius out of order (below the one before it) is at index 1"),
    ([0.0, 0.4, 0.6, 0.5, 1.0], [1.0] * 5,
     "bl must be ascending; the first radius out of order (below the one before it) is at index 3"),
    ([0.0, math.nan, 1.0], [1.0] * 3, "bl must hold finite radii; the first radius that is not finite is at index 1"),
    ([0.0, 0.5, math.inf], [1.0] * 3, "bl must hold finite radii; the first radius that is not finite is at index 2"),
    ([0.0, 0.5, 1.0], [1.0, -3.0, 1.0],
     "bf must hold finite brightness values of 0 or more; the first value that is not is at index 1"),
    ([0.0, 0.5, 1.0], [1.0, 1.0, math.nan],
     "bf must hold finite brightness values of 0 or more; the first value that is not is at index 2"),
    ([0.0, 1.0], [math.inf, 1.0],
     "bf must hold finite brightness values of 0 or more; the first value that is not is at index 0"),
    ([], [], "bl and bf are empty: a flux map needs at least one radius"),
    ([0.2, 0.8], [0.0, 0.0], "bf gives the source no flux: the map is dark everywhere between radii 0 and 1"),
    ([1.5, 2.0], [1.0, 1.0], "bf gives the source no flux: the map is dark everywhere between radii 0 and 1"),
    ([0.5] * 5, [1.0] * 5, "bf gives the source no flux: the map is dark everywhere between radii 0 and 1"),
]


@pytest.mark.parametrize("name", ["integrated_flux_map_witt_mao_magnification",
                                  "integrated_flux_map_heyrovsky_magnification"])
@pytest.mark.parametrize("bl, bf, text", NOT_MAPS)
def test_integrated_maps_refuse_what_is_not_a_map(mirvanta, name, bl, bf, text):
    # Unsorted radii gave a plausible 18.71, a negative brightness 7.9 or 4.4e14, five equal radii
    # 73.85, a map without flux NaN. The map is checked before any separation, also for none.
    for l in ([0.5, 3.0], []):
        with pytest.raises(ValueError) as caught:
            getattr(mirvanta, name)(l, 1.0, 0.1, bl, bf)
        assert caught.value.args == (text,)


def test_steps_and_the_discrete_maps_weights_stay_allowed(mirvanta):
    # Two equal radii are a step; the discrete map takes its weights and radii as they are.
    step = mirvanta.integrated_flux_map_witt_mao_magnification([0.3, 2.0], 1.0, 0.1, [0.0, 0.5, 0.5, 1.0],
                                                               [1.0, 1.0, 0.3, 0.3])
    assert all(math.isfinite(x) and x > 1 for x in step)
    rings = [mirvanta.heyrovsky_magnification(2.0, r, 1.0, 0.1) for r in (0.5, 0.2)]
    discrete = mirvanta.discrete_flux_map_heyrovsky_magnification([2.0], 1.0, 0.1, [0.5, 0.2], [1.0, -3.0])
    assert discrete == [0.0 + rings[0] * 1.0 + rings[1] * -3.0]


@pytest.mark.parametrize("name", FUNCTION_ORDER)
def test_negative_source_or_einstein_radius_gives_nan(mirvanta, name):
    # Only the ratio rho = rstar / re enters; a negative one gave minus the magnification (-20.02),
    # on which an unbounded fit could settle and report success, and the ring functions used |q|.
    def call(re, rstar):
        kinds = FUNCTIONS[name]
        args = {"l": [0.0, 0.5, 3.0] if kinds["l"] == "s" else 0.5, "r": 0.8, "re": re, "rstar": rstar,
                "bl": [0.0, 0.5, 1.0], "bf": [1.0, 0.8, 0.5]}
        if name == "multi_witt_mao_magnification":
            args.update(re=[re], rstar=[rstar])
        result = getattr(mirvanta, name)(**{k: args[k] for k in kinds})
        return [result] if isinstance(result, float) else result[0] if name.startswith("multi") else result

    for re, rstar in [(1.0, -0.1), (-1.0, 0.1)]:
        assert all(math.isnan(x) for x in call(re, rstar)), (re, rstar)
    assert same_floats(call(-1.0, -0.1), call(1.0, 0.1))


@pytest.mark.parametrize("l, re, rstar", [(math.nan, 1.0, 0.1), (-0.5, 1.0, 0.1), (0.5, 0.0, 0.1), (0.5, 1.0, 0.0),
                                          (-0.5, 1.0, 0.0), (math.inf, 1.0, 0.1)])
def test_flux_map_gives_the_uniform_disk_where_that_is_not_finite(mirvanta, l, re, rstar):
    # NaN, a negative l or re = 0 have no magnification (NaN), rstar = 0 is a point source on the
    # lens (+inf); the flux map gave 0.0 for them. Infinitely far, both give 1.
    disk = mirvanta.witt_mao_magnification([l], re, rstar)
    assert same_floats(mirvanta.integrated_flux_map_witt_mao_magnification([l], re, rstar, [0.0, 1.0], [1.0, 0.4]),
                       disk)


def test_huge_sources_are_never_below_one(mirvanta):
    # A mean of point-source magnifications is at least 1. For a source thousands to 1e8 Einstein
    # radii across, the flux map's differences of annuli rounded a third of these values below 1
    # (one-point map); the limb-darkened quadrature and the laws are held to the same.
    rng = random.Random(20261208)
    for _ in range(400):
        rho, l = 10 ** rng.uniform(2, 8), rng.uniform(0, 3)
        values = [mirvanta.integrated_flux_map_witt_mao_magnification([l], 1.0, rho, [0.0], [1.0])[0],
                  mirvanta.integrated_flux_map_witt_mao_magnification([l], 1.0, rho, [0.0, 0.6, 1.0],
                                                                      [1.0, 0.8, 0.3])[0],
                  mirvanta.integrated_witt_mao_magnification([l], 1.0, rho)[0]]
        if hasattr(mirvanta, "Quadratic") and importlib.util.find_spec("numpy"):
            values.append(mirvanta.magnification(l * rho, rho, mirvanta.Quadratic(0.5, 0.2)))
        assert all(v >= 1.0 for v in values), (rho, l, values)
        assert all(v - 1.0 < 1.0 / rho for v in values), (rho, l, values)  # and not far above it
