"""Ctrl-C stops a fit, and fits run side by side in threads and inside PDFs."""

import signal
import sys
import threading

import numpy as np
import pytest

from conftest import exponential, gaussian, two_component_sample
from tarnwex import ShapeParameter, splot

LONG_FIT_EVENTS = 500_000
SIGNAL_DELAY = 0.02
THREADS = 4


@pytest.fixture
def alarm_raises_keyboard_interrupt():
    observed = {}

    def handler(signum, frame):
        observed["fired"] = True
        if hasattr(sys, "getrefcount"):
            observed["pdf_references"] = sys.getrefcount(observed["pdf"])
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    yield observed
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_a_signal_stops_a_long_fit_that_runs_no_python_code(alarm_raises_keyboard_interrupt):
    rng = np.random.default_rng(3)
    data = np.concatenate([rng.normal(5.0, 0.5, LONG_FIT_EVENTS // 2), rng.uniform(0.0, 10.0, LONG_FIT_EVENTS // 2)])[:, None]
    signal_values = gaussian(data, {"mu": 5.0, "sigma": 0.5})
    flat_values = np.full(LONG_FIT_EVENTS, 0.1)

    def signal_pdf(d, p):
        return signal_values

    observed = alarm_raises_keyboard_interrupt
    observed["pdf"] = signal_pdf
    counted = hasattr(sys, "getrefcount")
    references_outside = sys.getrefcount(signal_pdf) if counted else None
    signal.setitimer(signal.ITIMER_REAL, SIGNAL_DELAY)
    with pytest.raises(KeyboardInterrupt):
        splot(data, [signal_pdf, lambda d, p: flat_values], max_steps=None, tolerance=1e-12)
    assert observed["fired"]
    if counted:
        # The PDF adapters, which hold a reference to each callable, were
        # alive: the handler ran inside the fit, not after it. (An interpreter
        # without reference counts cannot show this; the interrupt still has
        # to stop the fit there.)
        assert observed["pdf_references"] > references_outside
        assert sys.getrefcount(signal_pdf) == references_outside


def test_keyboard_interrupt_in_the_first_call_propagates(small_sample):
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
