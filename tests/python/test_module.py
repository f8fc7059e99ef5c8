"""The module object, its exception and its typing description."""

import importlib.util
import subprocess
import sys

import pytest

import tarnwex


def test_module_offers_exactly_its_four_names_in_order():
    public = [name for name in vars(tarnwex) if not name.startswith("_")]
    assert public == ["ShapeParameter", "SPlotResult", "splot", "SPlotError"]
    assert tarnwex.__doc__ == "Joint extended-likelihood fitting and sWeight calculation."


def test_splot_error_is_a_runtime_error_of_the_module():
    assert issubclass(tarnwex.SPlotError, RuntimeError)
    assert tarnwex.SPlotError.__module__ == "tarnwex"
    assert tarnwex.SPlotError.__name__ == "SPlotError"
    assert tarnwex.SPlotError.__doc__ is None


def test_splot_has_its_signature_and_docstring():
    assert tarnwex.splot.__module__ == "tarnwex"
    assert tarnwex.splot.__text_signature__ == (
        "(data, pdfs, *, shape_parameters=None, initial_yields=None, weights=None, max_steps=..., tolerance=1e-8)"
    )
    assert tarnwex.splot.__doc__.startswith("Fit component yields and shared shape parameters, then calculate sWeights.")
    assert tarnwex.splot.__doc__.endswith("matrix indefinite or singular for some datasets.")
    assert ("Notes\n-----\nPDF callables are vectorized over the complete data array. Their outputs\n"
            "are cached for each shape-parameter point to avoid reevaluating a PDF once\nper event.\n"
            in tarnwex.splot.__doc__)


@pytest.mark.skipif(
    importlib.util.find_spec("_symtable") is None,
    reason="stubtest needs the interpreter's symbol-table module, which PyPy lacks",
)
def test_typing_description_matches_the_module():
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tarnwex"], capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stdout + done.stderr
