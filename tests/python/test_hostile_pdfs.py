"""PDFs that change the array they are given, and weights of the wrong shape.

Whatever a PDF does to its input, the fit must neither crash nor let the
change reach its checks of the events: they see the data as it was before
any PDF ran. Acts that free the array's buffer run in a subprocess, so that
a regression shows as a failed test rather than a dead test run.
"""

import math
import subprocess
import sys
import textwrap
import warnings
import weakref

import numpy as np
import pytest

from conftest import assert_argument_note, exponential, gaussian
from tarnwex import ShapeParameter, splot

# A sample large enough that its buffer is returned to the system when
# freed: a read after the free then faults instead of finding stale values.
HOSTILE_RUN = textwrap.dedent(
    """
    import math, sys
    import numpy as np
    from tarnwex import splot

    act = sys.argv[1]
    rng = np.random.default_rng(11)
    n = 300_000
    mass = np.concatenate([rng.normal(5.0, 0.5, n // 3), rng.uniform(0.0, 10.0, n - n // 3)])
    data = np.column_stack([mass, rng.uniform(size=n)])

    # The densities come from the mass column as it was, so that what the
    # hostile PDF does to the array cannot change what they return.
    signal = np.exp(-0.5 * ((mass - 5.0) / 0.5) ** 2) / (0.5 * math.sqrt(2.0 * math.pi))
    background = np.full(n, 0.1)

    def hostile(array):
        if act == "resize":
            array.resize((1, 2), refcheck=False)
        else:
            array.__setstate__((1, (1, 2), np.dtype(np.float64), False, bytes(16)))

    def first(array, parameters):
        hostile(array)
        return signal

    def second(array, parameters):
        return background

    reference = splot(data.copy(), [lambda d, p: signal, second])
    result = splot(data.copy(), [first, second])
    print(np.array_equal(result.yields, reference.yields)
          and np.array_equal(result.sweights, reference.sweights))

    data[-1, 1] = math.nan
    try:
        splot(data, [first, second])
    except ValueError as error:
        print(error)
    """
)


@pytest.mark.parametrize("act", ["resize", "setstate"])
def test_a_pdf_that_frees_or_replaces_its_input_changes_nothing(act):
    done = subprocess.run(
        [sys.executable, "-c", HOSTILE_RUN, act], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["True", "invalid input: event coordinates must be finite"]


def test_a_pdf_that_writes_into_its_input_changes_neither_results_nor_checks():
    rng = np.random.default_rng(5)
    mass = np.concatenate([rng.normal(5.0, 0.5, 300), rng.uniform(0.0, 10.0, 600)])
    data = np.column_stack([mass, rng.uniform(size=mass.size)])

    def signal(d, p):
        return np.exp(-0.5 * ((d[:, 0] - 5.0) / 0.5) ** 2) / (0.5 * math.sqrt(2.0 * math.pi))

    def background(d, p):
        return np.full(d.shape[0], 0.1)

    def spoiling(d, p):
        d[:, 1] = math.nan  # a column no PDF reads
        return signal(d, p)

    def repairing(d, p):
        d[:, 1] = 0.5
        return signal(d, p)

    reference = splot(data.copy(), [signal, background])
    spoilt = splot(data.copy(), [spoiling, background])
    np.testing.assert_array_equal(spoilt.yields, reference.yields)
    np.testing.assert_array_equal(spoilt.sweights, reference.sweights)

    data[7, 1] = math.inf
    with pytest.raises(ValueError, match="^invalid input: event coordinates must be finite$"):
        splot(data, [repairing, background])


@pytest.mark.parametrize("keep", ["weak reference", "view"])
def test_a_pdf_that_changes_an_earlier_output_changes_nothing(small_sample, keep):
    # The first PDF keeps a way back to each output it returns; the second
    # uses it to scale that output while the fit still holds its values.
    kept = []

    def keeping(d, p):
        out = gaussian(d, p)
        kept[:] = [weakref.ref(out) if keep == "weak reference" else out[:]]
        return out

    def spoiling(d, p):
        target = kept[0]() if keep == "weak reference" else kept[0]
        if target is not None:
            target *= 3.0
        return exponential(d, p)

    shapes = [ShapeParameter("mu", 4.0, 2.0, 8.0), ShapeParameter("sigma", 1.5, 0.3, 4.0)]
    reference = splot(small_sample, [gaussian, exponential], shape_parameters=shapes)
    spoilt = splot(small_sample, [keeping, spoiling], shape_parameters=shapes)
    np.testing.assert_array_equal(spoilt.yields, reference.yields)
    np.testing.assert_array_equal(spoilt.sweights, reference.sweights)
    assert spoilt.objective_evaluations == reference.objective_evaluations


@pytest.mark.parametrize(
    "weights",
    [np.ones((10, 1)), np.ones((10, 1), dtype=np.float32), np.ones((10, 1), dtype=np.int64), [np.ones(1)] * 10],
)
def test_column_shaped_weights_are_refused_on_every_numpy(weights):
    data = np.linspace(1.0, 9.0, 10)[:, None]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as raised:
            splot(data, [lambda d, p: np.full(10, 0.1)], weights=weights)
    assert caught == []
    assert_argument_note(raised.value, "weights")
