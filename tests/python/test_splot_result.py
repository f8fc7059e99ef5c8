"""The SPlotResult class: what a finished fit hands back."""

import math
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import exponential, flat, gaussian
from tarnwex import ShapeParameter, SPlotResult, splot


def shifted_gaussian(data, parameters):
    # Uses the three differently cased names so that the key order shows.
    return gaussian(data, {"mu": parameters["b"] + parameters["a"], "sigma": parameters["B"]})


@pytest.fixture(scope="module")
def result(small_sample):
    parameters = [ShapeParameter("b", 4.0, 0.0, 8.0), ShapeParameter("a", 0.5, 0.0, 2.0), ShapeParameter("B", 1.0, 0.1, 3.0)]
    return splot(small_sample, [shifted_gaussian, exponential], shape_parameters=parameters)


def test_shapes_and_types_follow_the_components_and_parameters(result, small_sample):
    n_events = small_sample.shape[0]
    expected_shapes = {
        "yields": (2,),
        "yield_errors": (2,),
        "covariance": (2, 2),
        "sweights": (n_events, 2),
        "fit_covariance": (5, 5),
    }
    for name, shape in expected_shapes.items():
        array = getattr(result, name)
        assert type(array) is np.ndarray and array.dtype == np.float64 and array.shape == shape, name
    assert result.sweights.flags.c_contiguous
    assert type(result.minimum_nll) is float
    assert type(result.success) is bool
    assert type(result.message) is str
    for counter in ("objective_evaluations", "gradient_evaluations", "hessian_evaluations"):
        assert type(getattr(result, counter)) is int
    assert result.hessian_evaluations == 1


def test_shape_maps_are_new_dicts_in_byte_order_of_the_names(result):
    assert list(result.shape_parameters) == ["B", "a", "b"]
    assert list(result.shape_errors) == ["B", "a", "b"]
    first = result.shape_parameters
    first["B"] = 99.0
    assert result.shape_parameters is not first
    assert result.shape_parameters["B"] != 99.0


def test_arrays_are_the_same_writable_objects_on_every_access(result):
    assert result.yields is result.yields
    assert result.sweights is result.sweights
    saved = result.covariance[0, 0]
    result.covariance[0, 0] = -1.0
    assert result.covariance[0, 0] == -1.0
    result.covariance[0, 0] = saved


def test_yields_own_their_storage_and_survive_the_result(small_sample):
    yields = splot(small_sample, [gaussian, flat], shape_parameters=[ShapeParameter("mu", 5.0, 2.0, 8.0), ShapeParameter("sigma", 0.5, 0.1, 2.0)]).yields
    assert yields.flags.writeable and yields.flags.c_contiguous
    assert yields.base is not None
    assert np.all(np.isfinite(yields)) and yields.sum() > 0


def test_fit_without_shape_parameters_has_empty_maps_and_yield_sized_fit_covariance(small_sample):
    def fixed_gaussian(data, parameters):
        assert parameters == {}
        return gaussian(data, {"mu": 5.0, "sigma": 0.5})

    result = splot(small_sample, [fixed_gaussian, exponential], shape_parameters=[])
    assert result.shape_parameters == {} and result.shape_errors == {}
    assert result.fit_covariance.shape == (2, 2)


def test_representation_names_component_count_success_and_rounded_minimum(result):
    text = repr(result)
    assert text == str(result)
    assert text == (
        f"SPlotResult(yields=<2 components>, success={'true' if result.success else 'false'}, "
        f"minimum_nll={result.minimum_nll:.6f})"
    )


COMMA_LOCALE_SCRIPT = """
import locale
import numpy as np
from tarnwex import splot

locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
assert locale.localeconv()["decimal_point"] == ","
data = np.linspace(0.5, 9.5, 40)[:, None]
result = splot(data, [lambda d, p: np.full(40, 0.1), lambda d, p: 0.02 * d[:, 0]])
print(repr(result))
print(f"{result.minimum_nll:.6f}")
"""


def test_representation_keeps_its_decimal_point_under_a_comma_locale(tmp_path):
    if shutil.which("localedef") is None:
        pytest.skip("localedef is not available to make a comma-decimal locale")
    made = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")], capture_output=True)
    if made.returncode not in (0, 1):  # 1: made, with warnings
        pytest.skip("no comma-decimal locale could be made")
    done = subprocess.run(
        [sys.executable, "-c", COMMA_LOCALE_SCRIPT],
        capture_output=True,
        text=True,
        env={**os.environ, "LOCPATH": str(tmp_path)},
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    representation, minimum = done.stdout.splitlines()
    assert representation.endswith(f", minimum_nll={minimum})")


def test_failed_run_reports_false_success_in_its_representation(small_sample):
    result = splot(small_sample, [gaussian, exponential], shape_parameters=[ShapeParameter("mu", 3.0, 2.0, 8.0), ShapeParameter("sigma", 2.0, 0.1, 5.0)], max_steps=1)
    assert result.success is False
    assert ", success=false, minimum_nll=" in repr(result)
    assert not math.isnan(result.minimum_nll)


def test_results_are_immutable_final_and_not_constructible(result):
    with pytest.raises(AttributeError):
        result.success = False
    with pytest.raises(AttributeError):
        result.extra = 1
    with pytest.raises(AttributeError):
        del result.yields
    with pytest.raises(TypeError):
        SPlotResult()
    with pytest.raises(TypeError):
        type("Sub", (SPlotResult,), {})
    assert SPlotResult.__module__ == "tarnwex"
    assert SPlotResult.__doc__.startswith("Result of a joint yield-and-shape fit and its sWeight calculation.")
    # Some interpreters (PyPy) let object.__new__ allocate one around splot:
    # such an instance refuses to be read rather than reading nothing.
    try:
        empty = object.__new__(SPlotResult)
    except TypeError:
        return
    for read in (repr, lambda r: r.yields, lambda r: r.shape_parameters, lambda r: r.message,
                 lambda r: r._repr_html_(), lambda r: r.__reduce__()):
        with pytest.raises(TypeError, match="not created by splot"):
            read(empty)
