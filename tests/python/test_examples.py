"""The examples: each answers --help, runs with its own check and writes its picture where it is
run; the references they check the module against agree with mpmath."""

import importlib
import math
import pathlib
import sys

import mpmath
import pytest

from conftest import limb_darkened_disk, run_process, witt_mao_closed_form

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = CHECKOUT / "examples"
PICTURES = ("*.png", "*.pdf", "*.svg")


@pytest.fixture
def example(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    return importlib.import_module


@pytest.mark.parametrize("script", sorted(path.name for path in EXAMPLES.glob("*.py")))
def test_every_example_answers_help_without_its_optional_packages(script, tmp_path):
    # The optional packages are imported only once the arguments are parsed: here they cannot be.
    blocked = "import sys, runpy; sys.modules.update(dict.fromkeys(('matplotlib', 'distributed', 'scipy', 'emcee', 'jax', 'numpyro')))"
    run = f"{blocked}; sys.argv = [{str(EXAMPLES / script)!r}, '--help']; runpy.run_path(sys.argv[0], run_name='__main__')"
    result = run_process([sys.executable, "-c", run], cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith(f"usage: {script}"), result.stdout
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("script, args", [
    ("quickstart.py", []),
    ("limb_darkening.py", ["--points", "8", "--rho", "0.3"]),
    ("fit_light_curve.py", []),
    ("two_telescopes.py", []),
    ("emcee_walkers.py", ["--steps", "300"]),
    ("fit_nuts.py", ["--chains", "2", "--warmup", "150", "--samples", "300"]),
])
def test_example_runs_and_passes_its_check(script, args, tmp_path):
    if script in ("fit_light_curve.py", "two_telescopes.py"):
        pytest.importorskip("scipy")
    if script == "emcee_walkers.py":
        pytest.importorskip("emcee")
    if script == "fit_nuts.py":
        pytest.importorskip("numpyro")
    # From another folder, as a user would run it from anywhere.
    # A generous limit for the sampler's (JAX compiles it first; a sanitizer build runs slower).
    timeout = 300 if script == "fit_nuts.py" else 120
    result = run_process([sys.executable, str(EXAMPLES / script), *args, "--check"], cwd=tmp_path, timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "\ncheck: " in result.stdout


def test_the_readmes_fit_prints_what_the_readme_says(tmp_path):
    # The README's fit, as a reader copies it: its printed line is the one the README shows.
    pytest.importorskip("scipy")
    text = (CHECKOUT / "README.md").read_text()
    block = text[text.index("## A fit in a dozen lines"):]
    block = block[block.index("```python\n") + len("```python\n"):]
    block = block[:block.index("```")]
    expected = block[block.rindex("# -> ") + len("# -> "):].strip()
    result = run_process([sys.executable, "-c", block], cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == expected


@pytest.mark.parametrize("script, args, picture", [
    ("light_curves.py", [], "light_curves.png"),
    ("light_curve_population.py", ["--events", "6", "--workers", "1"], "population.png"),
])
def test_a_picture_goes_to_the_working_directory_not_the_checkout(script, args, picture, tmp_path):
    pytest.importorskip("matplotlib")
    if script == "light_curve_population.py":
        pytest.importorskip("distributed")
    before = {path for pattern in PICTURES for path in CHECKOUT.glob(pattern)}
    result = run_process([sys.executable, str(EXAMPLES / script), *args], cwd=tmp_path, timeout=240)
    assert result.returncode == 0, result.stdout + result.stderr
    assert (tmp_path / picture).stat().st_size > 0
    assert {path for pattern in PICTURES for path in CHECKOUT.glob(pattern)} == before


# The laws written out for mpmath, from their definitions in mu = sqrt(1 - r^2).
def _mu(r):
    return mpmath.sqrt(1 - r * r)


MPMATH_LAWS = {
    "linear c = 0.6": lambda r: 1 - mpmath.mpf("0.6") * (1 - _mu(r)),
    "quadratic a = 0.4, b = 0.25": lambda r: 1 - mpmath.mpf("0.4") * (1 - _mu(r)) - mpmath.mpf("0.25") * (1 - _mu(r)) ** 2,
    "square root c = 0.3, d = 0.4": lambda r: 1 - mpmath.mpf("0.3") * (1 - _mu(r)) - mpmath.mpf("0.4") * (1 - mpmath.sqrt(_mu(r))),
    "power-2 c = 0.6, alpha = 0.7": lambda r: 1 - mpmath.mpf("0.6") * (1 - _mu(r) ** mpmath.mpf("0.7")),
}


# The limb-darkening example checks the module against its ring-mean reference to 1e-9: the
# reference (and each law's flux written in it) must be far better than that.
@pytest.mark.parametrize("name, l, dps, tolerance", [
    ("linear c = 0.6", 1.5, 15, 1e-10),
    ("quadratic a = 0.4, b = 0.25", 0.5, 10, 1e-8),
    ("square root c = 0.3, d = 0.4", 1.5, 15, 1e-10),
    ("power-2 c = 0.6, alpha = 0.7", 0.5, 10, 1e-8),
])
def test_limb_darkening_example_reference_for_each_law(example, name, l, dps, tolerance):
    limb = example("limb_darkening")
    rho = 0.1
    _, intensity, flux = limb.LAWS[name]
    expected = float(limb_darkened_disk(l, rho, MPMATH_LAWS[name], dps=dps))
    assert limb.reference_law(l, rho, intensity, flux) == pytest.approx(expected, rel=tolerance)


def test_limb_darkening_example_reference_for_a_sampled_map(example):
    limb = example("limb_darkening")
    rho = 0.1
    # A constant map is the uniform disk, also with the lens inside and at the centre, and with
    # one of the map's radii 5e-4 from the lens (a panel that ends next to the ring through it).
    for l, bl in ((0.0, [0.0, 1.0]), (0.5, [0.0, 1.0]), (1.5, [0.0, 1.0]), (0.2255, [0.0, 0.225, 1.0])):
        assert limb.reference_sampled(l, rho, bl, [2.0] * len(bl)) == pytest.approx(
            float(witt_mao_closed_form(l * rho, rho)) if l else math.sqrt(rho * rho + 4) / rho, rel=1e-10)
    # A map with a kink, interpolated linearly.
    bl, bf = [0.0, 0.6, 1.0], [1.0, 0.9, 0.35]
    kinked = lambda r: (1 - r / 6) if r <= 0.6 else (0.9 - (r - 0.6) * mpmath.mpf(0.55) / 0.4)  # noqa: E731
    expected = float(limb_darkened_disk(1.5, rho, kinked, dps=15, kinks=[mpmath.mpf("0.6")]))
    assert limb.reference_sampled(1.5, rho, bl, bf) == pytest.approx(expected, rel=1e-10)
