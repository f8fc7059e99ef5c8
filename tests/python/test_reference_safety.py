"""Repeated calls, failing in every way, leak no references and no memory blocks."""

import gc
import sys

import numpy as np
import pytest

from conftest import exponential, gaussian
from tarnwex import ShapeParameter, SPlotError, splot

CALLS = 200
WARM_UP_CALLS = 40
# The int that holds the first count is itself a block allocated after counting.
BASELINE_BLOCKS = 1
N_EVENTS = 50
# Rounds of CALLS calls are repeated until one leaves no block behind. Most
# interpreters settle within the warm-up; CPython 3.10 keeps filling caches of
# its own whatever the module does (measured: some 40 blocks in the first
# round, then fewer and fewer, the first round without any near the 17th). A
# module that leaks adds blocks in every round and never settles.
MAX_ROUNDS = 60


def make_pdf(density, mode):
    calls = [0]

    def pdf(data, parameters):
        calls[0] += 1
        if calls[0] > 1 and mode == "raise":
            raise ValueError("broken density")
        if calls[0] > 1 and mode == "wrong type":
            return [1.0] * data.shape[0]
        return density(data, parameters)

    return pdf


def one_call(index, data, signal, background, parameters):
    """Runs one call of a rotating kind, every other kind failing; returns whether it succeeded."""
    kind = index % 8
    try:
        if kind == 0:
            splot(data, [signal, background], shape_parameters=parameters)
        elif kind == 1:
            splot(data, [signal, background], shape_parameters=parameters, max_steps=2.5)
        elif kind == 2:
            splot(data, [signal, background], shape_parameters=parameters, weights=np.ones(N_EVENTS) * 2.0)
        elif kind == 3:
            splot(data, [signal, make_pdf(exponential, "raise")], shape_parameters=parameters)
        elif kind == 4:
            splot(data, [signal, background], shape_parameters=parameters, max_steps=None, initial_yields=[20, 30])
        elif kind == 5:
            splot(data, [make_pdf(gaussian, "wrong type"), background], shape_parameters=parameters)
        elif kind == 6:
            splot(data.tolist(), (signal, background), shape_parameters=tuple(parameters), weights=[1.0] * N_EVENTS)
        else:
            splot(data, [signal, signal], shape_parameters=parameters)
    except (TypeError, ValueError, SPlotError):
        return False
    return True


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="the interpreter keeps no reference counts to compare (PyPy)")
def test_references_and_allocated_blocks_are_unchanged_after_many_calls():
    data = np.linspace(0.5, 9.5, N_EVENTS)[:, None]
    # Callables of this test's own, so that no other test holds them.
    def signal(d, p):
        return gaussian(d, p)

    def background(d, p):
        return exponential(d, p)

    parameters = [ShapeParameter("mu", 5.0, 2.0, 8.0), ShapeParameter("sigma", 1.0, 0.2, 4.0)]
    watched = [data, signal, background, *parameters]

    for index in range(WARM_UP_CALLS):
        one_call(index, data, signal, background, parameters)
    failures = 0
    gc.collect()
    references = [sys.getrefcount(item) for item in watched]

    for rounds in range(1, MAX_ROUNDS + 1):
        blocks = sys.getallocatedblocks()
        for index in range(CALLS):
            failures += not one_call(index, data, signal, background, parameters)
        gc.collect()
        settled = sys.getallocatedblocks() <= blocks + BASELINE_BLOCKS
        if settled:
            break

    assert settled, f"allocated blocks still grow after {MAX_ROUNDS} rounds of {CALLS} calls"
    assert failures == rounds * CALLS // 2
    assert [sys.getrefcount(item) for item in watched] == references
