"""The installed type stubs: mypy --strict reads them as a user's editor would, and stubtest
compares them with the module."""

import ast
import pathlib
import re
import sys
import textwrap

import pytest

from conftest import run_process

pytest.importorskip("mypy")
pytest.importorskip("numpy")  # the correct script passes NumPy arrays

CORRECT_USE = """\
    import array
    from typing import assert_type

    import numpy as np
    from numpy.typing import NDArray

    import mirvanta

    l = [0.0, 0.5, 2.0]
    assert_type(mirvanta.witt_mao_magnification(l, 1.0, 0.1), list[float])
    assert_type(mirvanta.witt_mao_magnification(np.linspace(0.0, 3.0, 5), 1, 0.1), list[float])
    assert_type(mirvanta.integrated_witt_mao_magnification(range(3), np.float64(1.0), 0.1), list[float])
    assert_type(mirvanta.integrated_heyrovsky_magnification((0.5, 2), True, 0.1), list[float])
    assert_type(mirvanta.multi_witt_mao_magnification(l, np.array([1.0, 2.0]), (0.1,)), list[list[float]])
    assert_type(mirvanta.heyrovsky_magnification(0.5, 1, re=1.0, rstar=0.1), float)
    bl, bf = array.array("d", [0.0, 1.0]), b"\\x02\\x01"
    assert_type(mirvanta.integrated_flux_map_witt_mao_magnification(l, 1.0, 0.1, bl, bf), list[float])
    assert_type(mirvanta.integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, bf), list[float])
    assert_type(mirvanta.discrete_flux_map_heyrovsky_magnification(memoryview(b"\\x03"), 1.0, 0.1, [0.5], [1]),
                list[float])
    assert_type(mirvanta.magnification(0.5, 0.1), float)
    assert_type(mirvanta.magnification(np.linspace(0.0, 1.0, 5), 0.1, mirvanta.Quadratic(0.5, 0.2)),
                NDArray[np.float64])
    assert_type(mirvanta.light_curve([0.0, 1.0], 0.0, 0.1, 20.0, 0.01, mirvanta.Linear(0.6), rtol=1e-8),
                NDArray[np.float64])
    assert_type(mirvanta.light_curve(np.linspace(0.0, 1.0, 5), np.zeros((3, 1)), [[0.1]], 20.0, 0.01), NDArray[np.float64])
    assert_type(mirvanta.light_curve(0.5, 0.0, 0.1, 20.0, 0.01), float)
    assert_type(mirvanta.point_source_magnification(2), float)
    assert_type(mirvanta.Profile([0.0, 1.0], [1.0, 0.5]).radii, tuple[float, ...])
    fit = mirvanta.fit_fluxes(np.linspace(1.0, 2.0, 5), [1.0, 1.2, 1.4, 1.6, 1.9], 0.1, blend=False)
    assert_type(fit, mirvanta.FluxFit)
    assert_type(fit.cov, NDArray[np.float64])
    fs, fb, cov, chi2 = fit
    import jax
    import mirvanta.jax
    assert_type(mirvanta.jax.magnification(np.linspace(0.0, 1.0, 5), 0.1, mirvanta.Quadratic(0.5, 0.2)), jax.Array)
    assert_type(mirvanta.jax.light_curve(l, 0.0, 0.1, 20.0, 0.01, (mirvanta.Quadratic, np.array([0.5, 0.2]))),
                jax.Array)
    try:
        mirvanta.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, [0.5], [])
    except mirvanta.PanicException as error:
        assert_type(error, mirvanta.PanicException)
"""

# Each line ends with the error code mypy must report on it.
WRONG_USE = """\
    import mirvanta

    peak: float = mirvanta.witt_mao_magnification([1.0], 1.0, 0.1)  # assignment
    grid: list[float] = mirvanta.multi_witt_mao_magnification([1.0], [1.0], [0.1])  # assignment
    mirvanta.witt_mao_magnification("0.5", 1.0, 0.1)  # arg-type
    mirvanta.witt_mao_magnification((x for x in [0.5]), 1.0, 0.1)  # arg-type
    mirvanta.witt_mao_magnification({0.5: 1.0}, 1.0, 0.1)  # arg-type
    mirvanta.witt_mao_magnification({0.5}, 1.0, 0.1)  # arg-type
    mirvanta.witt_mao_magnification([0.5], "1.0", 0.1)  # arg-type
    mirvanta.multi_witt_mao_magnification([0.5], 1.0, [0.1])  # arg-type
    mirvanta.heyrovsky_magnification([0.5], 1.0, 1.0, 0.1)  # arg-type
    mirvanta.heyrovsky_magnification(0.5, 1.0, 1.0)  # call-arg
    mirvanta.witt_mao_magnification([0.5], 1.0, 0.1, 2.0)  # call-arg
    mirvanta.witt_mao_magnification([0.5], 1.0, rho=0.1)  # call-arg
    mirvanta.magnification(0.5, 0.1, 0.6)  # call-overload
    mirvanta.magnification(0.5, 0.1, None, 1e-8)  # call-overload
    mirvanta.Linear("0.6")  # arg-type
    mirvanta.fit_fluxes([1.0, 2.0], [1.0, 2.0], 0.1, False)  # call-arg
    mirvanta.fit_fluxes([1.0, 2.0], [1.0, 2.0], 0.1).blend  # attr-defined
    import mirvanta.jax
    mirvanta.jax.magnification(0.5, 0.1, 0.6)  # arg-type
    mirvanta.jax.light_curve(0.5, 0.0, 0.1, 20.0, 0.01, None, 1e-8)  # call-arg
"""


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy --strict over both scripts, from a directory outside the source tree, so that only
    the installed stubs can describe the module."""
    directory = tmp_path_factory.mktemp("mypy")
    (directory / "correct_use.py").write_text(textwrap.dedent(CORRECT_USE))
    (directory / "wrong_use.py").write_text(textwrap.dedent(WRONG_USE))
    result = run_process(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(directory / "cache"),
         "correct_use.py", "wrong_use.py"], cwd=directory, timeout=300)
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if match:
            errors.setdefault((match[1], int(match[2])), []).append(match[3])
    return result, errors


def test_mypy_strict_accepts_correct_use(mypy_report):
    result, errors = mypy_report
    assert not [key for key in errors if key[0] == "correct_use"], result.stdout
    assert "Cannot find implementation or library stub" not in result.stdout


def test_mypy_strict_flags_each_wrong_use(mypy_report):
    result, errors = mypy_report
    expected = {}
    for number, line in enumerate(textwrap.dedent(WRONG_USE).splitlines(), start=1):
        if "  # " in line:
            expected[("wrong_use", number)] = [line.rsplit("  # ", 1)[1]]
    assert {key: codes for key, codes in errors.items() if key[0] == "wrong_use"} == expected, result.stdout


def test_stubtest_finds_stubs_and_module_in_agreement(tmp_path):
    result = run_process([sys.executable, "-m", "mypy.stubtest", "mirvanta"], cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_public_stub_has_a_docstring(mirvanta):
    stub = next(pathlib.Path(p) / "mirvanta-stubs" / "__init__.pyi" for p in sys.path
                if (pathlib.Path(p) / "mirvanta-stubs" / "__init__.pyi").is_file())
    tree = ast.parse(stub.read_text())
    public = [node for node in tree.body
              if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")]
    assert {node.name for node in public} == set(mirvanta.__all__) | {"PanicException"}
    # An overloaded function has its docstring on its last definition.
    documented = {node.name: ast.get_docstring(node) or "" for node in public}
    assert all(documented.values())
    for name, doc in documented.items():
        if name in mirvanta.__all__[:8]:
            assert "source radii" in doc, name
        elif callable(getattr(mirvanta, name)) and name[0].islower() and name != "fit_fluxes":  # no distances
            assert "Einstein radii" in doc, name
