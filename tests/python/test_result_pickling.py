"""Results and shape parameters cross process boundaries: pickle and copy."""

import copy
import math
import multiprocessing
import pickle
import platform
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tarnwex
import tarnwex_pdfs as tp
from conftest import HIGH, LOW

ARRAYS = ("yields", "yield_errors", "covariance", "sweights", "fit_covariance")
SCALARS = ("shape_parameters", "shape_errors", "minimum_nll", "success", "message",
           "objective_evaluations", "gradient_evaluations", "hessian_evaluations")


def vanished_peak_fit(seed=2, events=2000):
    """Background only: the peak's yield ends on its bound and its width's error is NaN."""
    data = np.random.default_rng(seed).uniform(LOW, HIGH, events)[:, None]
    width = tarnwex.ShapeParameter("sigma", 0.05, 0.01, 3.0)
    return tarnwex.splot(data, [tp.Gaussian(0, (LOW, HIGH), 5.0, "sigma"), tp.Uniform(0, (LOW, HIGH))],
                         shape_parameters=[width])


def assert_same_result(restored, original):
    assert type(restored) is tarnwex.SPlotResult
    for name in ARRAYS:
        a, b = getattr(restored, name), getattr(original, name)
        assert a.dtype == b.dtype and a.shape == b.shape and a.flags.writeable, name
        assert a.tobytes() == b.tobytes(), name
    for name in SCALARS:
        a, b = getattr(restored, name), getattr(original, name)
        assert type(a) is type(b) and repr(a) == repr(b), name
    assert restored._repr_html_() == original._repr_html_()
    assert repr(restored) == repr(original)


@pytest.fixture(scope="module")
def result():
    fitted = vanished_peak_fit()
    assert math.isnan(fitted.shape_errors["sigma"])
    return fitted


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_result_and_a_parameter_survive_every_pickle_protocol(result, protocol):
    restored = pickle.loads(pickle.dumps(result, protocol))
    assert_same_result(restored, result)
    assert not np.shares_memory(restored.sweights, result.sweights)
    parameter = tarnwex.ShapeParameter("m\u00e4ss", 1.5, -math.inf, 2.0)
    assert repr(pickle.loads(pickle.dumps(parameter, protocol))) == repr(parameter)


@settings(max_examples=30, deadline=None)
@given(st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=8))
def test_copies_keep_every_bit_of_the_arrays(result, bits):
    # Any double, NaN payloads and negative zero included, is kept as it is.
    original = copy.deepcopy(result)
    patterns = np.array(bits, dtype=np.uint64).view(np.float64)
    for name in ARRAYS:
        flat = getattr(original, name).reshape(-1)
        flat[: len(patterns)] = patterns[: len(flat)]
    assert_same_result(copy.deepcopy(original), original)
    assert_same_result(copy.copy(original), original)
    assert_same_result(pickle.loads(pickle.dumps(original)), original)


def fit_in_worker(seed):
    return vanished_peak_fit(seed)


def test_results_return_from_worker_processes():
    # Fresh interpreters, as forking a process that has threads is deprecated;
    # but PyPy 3.9's pool starts workers only by forking.
    method = "fork" if platform.python_implementation() == "PyPy" else "spawn"
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context(method)) as pool:
        results = list(pool.map(fit_in_worker, [2, 3]))
    for seed, fitted in zip([2, 3], results):
        assert_same_result(fitted, vanished_peak_fit(seed))


def corrupt(state, index, value):
    return state[:index] + (value,) + state[index + 1:]


@pytest.mark.parametrize("index, value, error", [
    (0, 2, ValueError),                          # a state version this module does not know
    (1, np.zeros(2, dtype=np.float32), TypeError),
    (1, np.zeros(0), ValueError),
    (3, np.zeros((3, 3)), ValueError),           # the covariance is not K x K
    (4, np.zeros((5, 3)), ValueError),           # sweights with a third component
    (5, {"sigma": 1.0, "extra": 2.0}, ValueError),
    (5, {"sigma": "1"}, TypeError),
    (7, np.zeros((2, 2)), ValueError),           # the joint covariance lacks the shape parameter
    (9, 1, TypeError),
    (11, -1, ValueError),
    (14, [], TypeError),
])
def test_restoring_refuses_an_inconsistent_state(result, index, value, error):
    restore, state = result.__reduce__()
    assert restore is tarnwex._restore_result
    with pytest.raises(error, match="invalid SPlotResult state"):
        restore(*corrupt(state, index, value))
    with pytest.raises(TypeError):
        restore(*state[:-1])
    with pytest.raises(TypeError):
        tarnwex.SPlotResult()
