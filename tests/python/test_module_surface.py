"""The module object: its functions, their signatures, and what else it holds."""

import importlib.util
import inspect
import sys

import pytest

from conftest import FUNCTION_ORDER, FUNCTIONS, run_process



def test_all_lists_the_functions_in_table_order(mirvanta):
    # The eight functions in source radii first, then the surface in Einstein radii.
    assert mirvanta.__all__[:8] == FUNCTION_ORDER


def test_nothing_else_is_public(mirvanta):
    public = {name for name in dir(mirvanta) if not name.startswith("_")}
    # The optional submodule is an attribute once imported (by the JAX tests).
    imported = {"jax"} if sys.modules.get("mirvanta.jax") is getattr(mirvanta, "jax", False) else set()
    assert public - imported == set(mirvanta.__all__) | {"PanicException"}
    assert mirvanta.__doc__


def test_the_module_is_a_package_that_imports_jax_only_for_its_bridge(tmp_path):
    # The extension is the package's __init__; `import mirvanta` leaves JAX alone, and the bridge
    # without JAX names the extra to install.
    script = ("import sys, mirvanta\n"
              "assert mirvanta.__path__ and 'jax' not in sys.modules, sorted(sys.modules)\n"
              "sys.modules['jax'] = None  # as if not installed\n"
              "try:\n    import mirvanta.jax\nexcept ImportError as error:\n    print(error)\n")
    result = run_process([sys.executable, "-c", script], cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
    assert 'pip install "mirvanta[jax]"' in result.stdout


def test_the_panic_exception_class_is_named_where_it_lives(mirvanta):
    panic = mirvanta.PanicException
    assert (panic.__module__, panic.__qualname__) == ("mirvanta", "PanicException")
    assert panic.__mro__[1:] == (BaseException, object)
    assert "PanicException" not in mirvanta.__all__


@pytest.mark.parametrize("name", FUNCTION_ORDER)
def test_function_attributes(mirvanta, name):
    function = getattr(mirvanta, name)
    assert function.__name__ == name
    assert function.__text_signature__ == f"({', '.join(FUNCTIONS[name])})"
    assert function.__doc__ is None
    assert function.__module__ == "mirvanta"
    assert function.__self__ is mirvanta
    parameters = inspect.signature(function).parameters.values()
    assert [p.name for p in parameters] == list(FUNCTIONS[name])
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


def test_each_import_gets_its_own_module_object(mirvanta):
    spec = importlib.util.find_spec("mirvanta")
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    assert fresh is not mirvanta
    assert fresh.__all__ == mirvanta.__all__ and fresh.__all__ is not mirvanta.__all__
    assert fresh.witt_mao_magnification.__self__ is fresh
    assert fresh.witt_mao_magnification([0.0], 1.0, 1.0) == mirvanta.witt_mao_magnification([0.0], 1.0, 1.0)
