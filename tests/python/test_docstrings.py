"""The package's documentation: every public function shows an example and the examples run;
the namespaces hold what __all__ lists and nothing stray."""
import doctest
import inspect
import pathlib
import re

import pytest
import torch

import vrel

MODULES = [vrel] + sorted((value for name, value in vars(vrel).items()
                           if inspect.ismodule(value) and not name.startswith("_")
                           and value.__name__ == f"vrel.{name}"), key=lambda m: m.__name__)
FUNCTIONS = sorted({(value.__module__, name): value for module in MODULES
                    for name in module.__all__
                    for value in [getattr(module, name)] if inspect.isfunction(value)}.items())


@pytest.mark.parametrize("function", [f for _, f in FUNCTIONS],
                         ids=[f"{m}.{n}" for (m, n), _ in FUNCTIONS])
def test_every_public_function_has_a_running_example(function):
    assert ">>>" in (function.__doc__ or ""), "no example"
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for test in doctest.DocTestFinder().find(function, globs={"vrel": vrel, "torch": torch}):
        runner.run(test)
    results = runner.summarize(verbose=False)
    assert results.failed == 0 and results.attempted > 0


def test_the_namespace_is_what_all_lists():
    public = {name for name in dir(vrel)
              if not name.startswith("_") and not inspect.ismodule(getattr(vrel, name))}
    assert public == {name for name in vrel.__all__ if not inspect.ismodule(getattr(vrel, name))}
    assert {"io", "loss", "shapes"} <= set(vrel.__all__)
    for name in ("annotations", "torch", "ops"):
        assert name not in dir(vrel)
    constants = {name for name in public if name.isupper()}
    assert {"WEIGHTING_AREA", "CULL_BACK", "FILTER_LINEAR", "MIP_NEAREST",
            "WRAP_BORDER"} <= constants


def test_the_version_is_the_one_the_build_files_name():
    root = pathlib.Path(__file__).resolve().parents[2]
    pyproject = re.search(r'^version = "([^"]+)"', (root / "pyproject.toml").read_text(), re.M)
    cmake = re.search(r"project\(vrel VERSION ([0-9.]+)", (root / "CMakeLists.txt").read_text())
    assert vrel.__version__ == pyproject[1] == cmake[1]


@pytest.mark.parametrize("module", [vrel.io, vrel.loss, vrel.shapes], ids=lambda m: m.__name__)
def test_toolkit_modules_export_only_their_own_names(module):
    public = {name for name in dir(module)
              if not name.startswith("_") and not inspect.ismodule(getattr(module, name))}
    assert public == set(module.__all__)
