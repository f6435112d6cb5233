"""The README's recipes (examples/): each runs with its own check, and its results agree with
independent references computed here with mpmath."""

import importlib
import math
import pathlib
import sys

import mpmath
import pytest

from conftest import limb_darkened_disk, run_process, witt_mao_closed_form

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def example(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    return importlib.import_module


def needs_numpy():
    return pytest.importorskip("numpy")


@pytest.mark.parametrize("script, args", [
    ("light_curve.py", ["--points", "401"]),
    ("linear_limb_darkening.py", []),
    ("quadratic_limb_darkening.py", ["--points", "12", "--radii", "40"]),
    ("fit_light_curve.py", []),
])
def test_example_runs_and_passes_its_check(script, args, tmp_path):
    if script != "linear_limb_darkening.py":
        needs_numpy()
    if script == "fit_light_curve.py":
        pytest.importorskip("scipy")
    # From another folder, as a user would run it from anywhere.
    result = run_process([sys.executable, str(EXAMPLES / script), *args, "--check"], cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "\ncheck: " in result.stdout


def test_light_curve_from_event_parameters(example):
    np = needs_numpy()
    light_curve = example("light_curve")
    t0, u0, te, rho = 7450.0, 0.01, 25.0, 0.02
    # Times at which u(t) = sqrt(u0^2 + ((t - t0) / tE)^2) is inside, near and far outside the source.
    u = np.array([[0.01, 0.015, 0.03], [0.05, 0.2, 2.0]])
    t = t0 + te * np.sqrt(u * u - u0 * u0) * np.array([[1, -1, 1], [-1, 1, -1]])
    values = light_curve.magnification(t, t0, u0, te, rho)
    assert values.shape == t.shape and values.dtype == np.float64
    expected = np.vectorize(lambda x: float(witt_mao_closed_form(x, rho)))(u)
    assert values == pytest.approx(expected, rel=1e-10)


# The linear law I = 1 - c (1 - mu) by mpmath (ring means of the point-source magnification over
# the disk). With the lens inside the source the module's 0.6 law is within 3.4e-6 of mpmath
# (README), and the mix weighs its error by at most 2.
@pytest.mark.parametrize("l, c, tolerance, dps", [(1.5, 0.3, 1e-10, 15), (3.0, 1.0, 1e-10, 15), (0.5, 0.9, 1e-5, 8)])
def test_any_linear_coefficient_from_two_calls(example, l, c, tolerance, dps):
    linear = example("linear_limb_darkening")
    rho = 0.1
    value = linear.linear_limb_darkening([l], 1.0, rho, c)[0]
    law = lambda r: 1 - c * (1 - mpmath.sqrt(1 - r * r))  # noqa: E731
    assert value == pytest.approx(float(limb_darkened_disk(l, rho, law, dps=dps)), rel=tolerance)


# The quadratic example's accuracy figures rest on its ring-mean references: they must be far
# better than the figures.
@pytest.mark.parametrize("l, dps, tolerance", [(1.5, 15, 1e-10), (0.5, 10, 1e-8)])
def test_quadratic_example_reference_for_the_exact_law(example, l, dps, tolerance):
    needs_numpy()
    quadratic = example("quadratic_limb_darkening")
    a, b, rho = 0.4, 0.25, 0.1
    law = lambda r: 1 - a * (1 - mpmath.sqrt(1 - r * r)) - b * (1 - mpmath.sqrt(1 - r * r)) ** 2  # noqa: E731
    expected = float(limb_darkened_disk(l, rho, law, dps=dps))
    assert quadratic.reference_exact(l, rho, a, b) == pytest.approx(expected, rel=tolerance)


def test_quadratic_example_reference_for_a_sampled_map(example):
    needs_numpy()
    quadratic = example("quadratic_limb_darkening")
    rho = 0.1
    # A constant map is the uniform disk, also with the lens inside and at the centre, and with
    # one of the map's radii 5e-4 from the lens (a panel that ends next to the ring through it).
    for l, bl in ((0.0, [0.0, 1.0]), (0.5, [0.0, 1.0]), (1.5, [0.0, 1.0]), (0.2255, [0.0, 0.225, 1.0])):
        assert quadratic.reference_sampled(l, rho, bl, [2.0] * len(bl)) == pytest.approx(
            float(witt_mao_closed_form(l * rho, rho)) if l else math.sqrt(rho * rho + 4) / rho, rel=1e-10)
    # A map with a kink, interpolated linearly.
    bl, bf = [0.0, 0.6, 1.0], [1.0, 0.9, 0.35]
    kinked = lambda r: (1 - r / 6) if r <= 0.6 else (0.9 - (r - 0.6) * mpmath.mpf(0.55) / 0.4)  # noqa: E731
    expected = float(limb_darkened_disk(1.5, rho, kinked, dps=15, kinks=[mpmath.mpf("0.6")]))
    assert quadratic.reference_sampled(1.5, rho, bl, bf) == pytest.approx(expected, rel=1e-10)
