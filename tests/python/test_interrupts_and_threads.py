"""Ctrl-C stops a fit, and fits run side by side in threads and inside PDFs."""

import signal
import sys
import threading

import numpy as np
import pytest

import tarnwex
from conftest import exponential, flat, gaussian, two_component_sample
from tarnwex import ShapeParameter, splot

THREADS = 4
# Three blocks of the fit's interrupt checks in every loop over the events.
LONG_FIT_EVENTS = 3 * 65536 + 5


def consultations_of(fit):
    """How many times `fit` consults the interrupt check when nothing stops it."""
    tarnwex._interrupt_after_checks(0)
    fit()
    return tarnwex._interrupt_after_checks(0)


@pytest.fixture
def long_sample():
    rng = np.random.default_rng(3)
    half = LONG_FIT_EVENTS // 2
    return np.concatenate([rng.normal(5.0, 0.5, half), rng.uniform(0.0, 10.0, LONG_FIT_EVENTS - half)])[:, None]


def test_an_interrupt_at_any_check_of_a_fit_raises_it_and_leaves_nothing_behind(long_sample):
    # Fixed PDF values: no Python code runs during the fit, so only the fit's
    # own checks can notice a signal, in every phase from the start point to
    # the sWeights.
    signal_values = gaussian(long_sample, {"mu": 5.0, "sigma": 0.5})
    flat_values = np.full(LONG_FIT_EVENTS, 0.1)
    weights = np.where(np.arange(LONG_FIT_EVENTS) % 2 == 0, 1.0, 0.5)
    before = (long_sample.copy(), weights.copy())

    def signal_pdf(d, p):
        return signal_values

    def flat_pdf(d, p):
        return flat_values

    def fit():
        return splot(long_sample, [signal_pdf, flat_pdf], weights=weights)

    expected = fit()
    total = consultations_of(fit)
    # Inside every pass over three blocks of events too, not only once per pass.
    assert total > 3 * expected.objective_evaluations
    counted = hasattr(sys, "getrefcount")
    references = [sys.getrefcount(o) for o in (signal_pdf, flat_pdf, long_sample, weights)] if counted else None
    try:
        for stop_at in range(1, total + 1):
            tarnwex._interrupt_after_checks(stop_at)
            with pytest.raises(KeyboardInterrupt):
                fit()
    finally:
        tarnwex._interrupt_after_checks(0)
    np.testing.assert_array_equal(long_sample, before[0])
    np.testing.assert_array_equal(weights, before[1])
    assert long_sample.flags.writeable and weights.flags.writeable
    if counted:
        assert [sys.getrefcount(o) for o in (signal_pdf, flat_pdf, long_sample, weights)] == references
    # One past the last consultation never fires: the fit is the same.
    tarnwex._interrupt_after_checks(total + 1)
    try:
        again = fit()
    finally:
        tarnwex._interrupt_after_checks(0)
    np.testing.assert_array_equal(again.sweights, expected.sweights)


def test_an_interrupt_stops_a_fit_with_shape_parameters_in_its_every_phase(long_sample):
    parameters = [ShapeParameter("mu", 4.8, 2.0, 8.0), ShapeParameter("sigma", 0.6, 0.1, 2.0)]

    def fit():
        return splot(long_sample, [gaussian, flat], shape_parameters=parameters)

    total = consultations_of(fit)
    # Spread over the whole fit, the last consultation included.
    try:
        for stop_at in sorted({*range(1, total + 1, max(1, total // 12)), total}):
            tarnwex._interrupt_after_checks(stop_at)
            with pytest.raises(KeyboardInterrupt):
                fit()
    finally:
        tarnwex._interrupt_after_checks(0)


@pytest.fixture
def sigint_raises_keyboard_interrupt():
    # A process started in the background has SIGINT ignored, and Python then
    # leaves it so; the test needs Python's own handler.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_keyboard_interrupt_in_the_first_call_propagates(small_sample, sigint_raises_keyboard_interrupt):
    def interrupted(d, p):
        signal.raise_signal(signal.SIGINT)
        return gaussian(d, p)

    with pytest.raises(KeyboardInterrupt):
        splot(small_sample, [interrupted, exponential], shape_parameters=[ShapeParameter("mu", 5.0, 2.0, 8.0), ShapeParameter("sigma", 0.5, 0.1, 2.0)])


def test_fits_in_several_threads_give_the_single_threaded_results():
    samples = [two_component_sample(400 + 50 * i, 600, seed=i) for i in range(THREADS)]
    parameters = [ShapeParameter("mu", 4.5, 2.0, 8.0), ShapeParameter("sigma", 0.8, 0.1, 3.0)]
    expected = [splot(sample, [gaussian, exponential], shape_parameters=parameters) for sample in samples]
    results = [None] * THREADS
    errors = []
    start = threading.Barrier(THREADS)

    def work(index):
        try:
            start.wait()
            for _ in range(3):
                results[index] = splot(samples[index], [gaussian, exponential], shape_parameters=parameters)
        except BaseException as error:  # reported to the main thread below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got.yields, want.yields)
        np.testing.assert_array_equal(got.sweights, want.sweights)
        assert got.shape_parameters == want.shape_parameters
