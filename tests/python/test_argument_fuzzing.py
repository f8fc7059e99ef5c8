"""No argument of any type crashes the interpreter or leaves an exception pending."""

import math

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from tarnwex import ShapeParameter, SPlotResult, splot

EXAMPLES = 300


def positive(data, parameters):
    return np.exp(-0.1 * np.abs(np.asarray(data, dtype=float)).sum(axis=1)) + 0.01


def rising(data, parameters):
    return 1.0 + np.arange(data.shape[0], dtype=float)


def shifted_by_parameters(data, parameters):
    return positive(data, parameters) * (1.0 + sum(abs(v) for v in parameters.values() if math.isfinite(v)) % 1.0)


def raises(data, parameters):
    raise ArithmeticError("no density")


PDFS = [
    positive,
    rising,
    shifted_by_parameters,
    raises,
    lambda d, p: None,
    lambda d, p: [1.0] * d.shape[0],
    lambda d, p: np.ones(d.shape[0], dtype=np.float32),
    lambda d, p: np.ones((d.shape[0], 1)),
    lambda d, p: np.ones(max(d.shape[0] - 1, 0)),
    lambda d, p: -np.ones(d.shape[0]),
    lambda d, p: np.full(d.shape[0], math.nan),
    lambda d, p: np.zeros(d.shape[0]),
    lambda d, p: np.ones(d.shape[0])[::-1],
    3,
    "pdf",
    None,
]

finite = st.floats(-20, 20, allow_nan=False)
any_float = st.floats(allow_nan=True, allow_infinity=True)
shape_parameter = st.builds(
    ShapeParameter,
    st.text(max_size=3),
    st.one_of(finite, any_float),
    st.one_of(st.just(-math.inf), any_float),
    st.one_of(st.just(math.inf), any_float),
)
arrays = hnp.arrays(
    dtype=st.sampled_from([np.float64, np.float32, np.int64, np.bool_, np.dtype(">f8")]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6),
    elements={"allow_nan": False, "allow_infinity": False, "min_value": -5, "max_value": 5} ,
)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**70), 2**70), any_float, st.text(max_size=3), st.binary(max_size=3))
anything = st.one_of(
    scalars,
    arrays,
    st.lists(scalars, max_size=4),
    st.lists(finite, min_size=1, max_size=12),
    st.lists(st.lists(finite, min_size=1, max_size=2), min_size=1, max_size=12),
    st.dictionaries(st.text(max_size=2), scalars, max_size=2),
    st.sets(st.integers(0, 3), max_size=3),
    st.lists(shape_parameter, max_size=3),
    st.lists(st.sampled_from(PDFS), max_size=3),
)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    data=anything,
    pdfs=st.one_of(st.lists(st.sampled_from(PDFS), max_size=3), anything),
    keywords=st.fixed_dictionaries(
        {},
        optional={
            "shape_parameters": st.one_of(st.lists(shape_parameter, max_size=3), anything),
            "initial_yields": st.one_of(st.lists(st.floats(0, 100), max_size=3), anything),
            "weights": anything,
            "max_steps": st.one_of(st.integers(-3, 30), anything),
            "tolerance": st.one_of(st.floats(1e-10, 1.0), anything),
        },
    ),
)
def test_every_argument_combination_returns_or_raises_an_ordinary_exception(data, pdfs, keywords):
    try:
        result = splot(data, pdfs, **keywords)
    except SystemError as error:  # what the interpreter raises for a pending or missing exception
        raise AssertionError(f"interpreter-level failure: {error!r}") from error
    except Exception:
        return
    assert isinstance(result, SPlotResult)
    assert result.sweights.shape[1] == result.yields.shape[0]
