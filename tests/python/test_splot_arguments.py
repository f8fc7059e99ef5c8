"""How splot converts and checks its arguments, and in which order."""

import inspect
import math

import numpy as np
import pytest

from conftest import assert_argument_note, exponential, flat, gaussian
import tarnwex
from tarnwex import ShapeParameter, splot

N_EVENTS = 10


def fixed_gaussian(data, parameters):
    return gaussian(data, {"mu": 5.0, "sigma": 1.0})


@pytest.fixture
def data():
    return np.linspace(1.0, 9.0, N_EVENTS)[:, None]


class Recorder:
    """A PDF that records what it receives and returns a fixed answer."""

    def __init__(self, answer=None):
        self.calls = []
        self.answer = answer

    def __call__(self, data, parameters):
        self.calls.append((data, dict(parameters)))
        if self.answer is not None:
            return self.answer(data) if callable(self.answer) else self.answer
        return flat(data, parameters)


@pytest.mark.parametrize(
    ("make_data", "error", "text"),
    [
        (lambda: np.zeros((0, 3)), ValueError, "data must have shape (n_events, n_features) with both dimensions nonzero"),
        (lambda: np.zeros((5, 0)), ValueError, "data must have shape (n_events, n_features) with both dimensions nonzero"),
        (lambda: np.zeros(5), TypeError, None),
        (lambda: "abc", ValueError, None),
    ],
)
def test_malformed_data_is_rejected(make_data, error, text):
    with pytest.raises(error) as raised:
        splot(make_data(), [flat])
    if text is not None:
        assert str(raised.value) == text
    if error is TypeError or text is None:
        assert_argument_note(raised.value, "data")


def test_data_error_wins_over_missing_pdfs():
    with pytest.raises(ValueError, match="both dimensions nonzero"):
        splot(np.zeros((0, 1)), [])
    with pytest.raises(ValueError, match="^at least one PDF is required$"):
        splot(np.ones((3, 1)), [])


@pytest.mark.parametrize(
    ("make_data", "same_object"),
    [
        (lambda d: d, True),
        (lambda d: np.asfortranarray(np.hstack([d, d])), True),
        (lambda d: np.hstack([d, 2 * d, 3 * d])[::-1, ::2], True),
        (lambda d: d.tolist(), False),
        (lambda d: np.rint(d).astype(np.int64), False),
        (lambda d: d.astype(">f8"), False),
    ],
)
def test_data_layouts_are_accepted_and_float64_matrices_are_passed_as_they_are(data, make_data, same_object):
    given = make_data(data)
    pdf = Recorder()
    result = splot(given, [pdf, Recorder(lambda d: fixed_gaussian(d, {}))])
    received = pdf.calls[0][0]
    assert (received is given) == same_object
    assert received.dtype == np.float64 and received.ndim == 2
    expected = np.asarray(given, dtype=np.float64)
    np.testing.assert_array_equal(received, expected)
    assert result.sweights.shape == (N_EVENTS, 2)


def test_event_coordinates_reach_the_fit_in_logical_order(data):
    # A reversed strided view must be read through its strides: a NaN in its
    # last logical row has to be found by the coordinate check.
    values = np.hstack([data, data])
    values[0, 1] = math.nan
    view = values[::-1, ::-1]
    with pytest.raises(ValueError, match="^invalid input: event coordinates must be finite$"):
        splot(view, [flat])


@pytest.mark.parametrize("pdfs", ["ab", {flat: 1}, {flat}, iter([flat]), (p for p in [flat]), 3])
def test_pdfs_must_be_a_sequence_that_is_not_a_string(data, pdfs):
    with pytest.raises(TypeError) as raised:
        splot(data, pdfs)
    assert_argument_note(raised.value, "pdfs")


def test_pdfs_may_be_any_sequence(data):
    result = splot(data, (flat, fixed_gaussian))
    assert result.yields.shape == (2,)


@pytest.mark.parametrize("initial_yields", [np.full((2, 1), 5.0), [np.ones(1), np.ones(1)]])
def test_column_shaped_initial_yields_are_refused_on_every_numpy(data, initial_yields):
    with pytest.raises(TypeError, match=r"initial_yields\[0\] must be a number") as raised:
        splot(data, [flat, fixed_gaussian], initial_yields=initial_yields)
    assert_argument_note(raised.value, "initial_yields")


def test_a_non_callable_pdf_is_reported_after_the_earlier_ones_ran(data):
    first = Recorder()
    with pytest.raises(ValueError, match="^PDF 1 must be callable$"):
        splot(data, [first, 3])
    assert len(first.calls) == 1


@pytest.mark.parametrize(
    ("answer", "text"),
    [
        (lambda d: [0.1] * N_EVENTS, "PDF 0 must return a one-dimensional float64 NumPy array"),
        (lambda d: np.full(N_EVENTS, 0.1, dtype=np.float32), "PDF 0 must return a one-dimensional float64 NumPy array"),
        (lambda d: np.full((N_EVENTS, 1), 0.1), "PDF 0 must return a one-dimensional float64 NumPy array"),
        (lambda d: np.full(N_EVENTS - 1, 0.1), "PDF 0 returned 9 values, expected 10"),
    ],
)
def test_initial_outputs_of_the_wrong_kind_are_value_errors(data, answer, text):
    with pytest.raises(ValueError) as raised:
        splot(data, [Recorder(answer), flat])
    assert str(raised.value) == text


def test_an_exception_of_the_first_call_propagates_unchanged(data):
    failure = ZeroDivisionError("first call")

    def failing(d, p):
        raise failure

    with pytest.raises(ZeroDivisionError) as raised:
        splot(data, [flat, failing])
    assert raised.value is failure


def test_initial_outputs_are_read_through_their_strides(data):
    signal = fixed_gaussian(data, {})
    background = flat(data, {})
    plain = splot(data, [lambda d, p: signal, lambda d, p: background])
    stored = np.empty(2 * N_EVENTS)
    stored[::2] = signal[::-1]
    swapped = background.astype(">f8")
    strided = splot(data, [lambda d, p: stored[-2::-2], lambda d, p: swapped])
    np.testing.assert_array_equal(plain.yields, strided.yields)
    np.testing.assert_array_equal(plain.sweights, strided.sweights)


def misaligned_ones(n):
    """Contiguous doubles that start one byte into their buffer."""
    return np.ndarray((n,), dtype=np.float64, buffer=np.ones(8 * n + 1, dtype=np.uint8), offset=1)


@pytest.mark.parametrize(
    ("weights", "accepted"),
    [
        (np.ones(2 * N_EVENTS)[::2], False),
        (np.ones(2 * N_EVENTS, dtype=">f8")[::2], False),
        (misaligned_ones(N_EVENTS), False),
        (np.ones(N_EVENTS), True),
        (np.ones(2 * N_EVENTS)[::2].copy(), True),
        ([1.0] * N_EVENTS, True),
        (tuple(range(1, N_EVENTS + 1)), True),
        (np.ones(N_EVENTS, dtype=np.float32)[::1], True),
        (np.ones(N_EVENTS, dtype=">f8"), True),
    ],
)
def test_weights_arrays_must_be_contiguous_while_sequences_are_copied(data, weights, accepted):
    if accepted:
        assert splot(data, [flat, fixed_gaussian], weights=weights).sweights.shape == (N_EVENTS, 2)
    else:
        with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
            splot(data, [flat, fixed_gaussian], weights=weights)


def test_swapped_byte_order_weights_keep_their_values(data):
    weights = np.linspace(0.5, 2.0, N_EVENTS)
    native = splot(data, [flat, fixed_gaussian], weights=weights)
    swapped = splot(data, [flat, fixed_gaussian], weights=weights.astype(">f8"))
    np.testing.assert_array_equal(native.sweights, swapped.sweights)


@pytest.mark.parametrize("weights", [np.ones((N_EVENTS, 1)), 1.0, [[1.0]] * N_EVENTS, "1"])
def test_weights_that_are_not_one_dimensional_are_type_errors(data, weights):
    with pytest.raises((TypeError, ValueError)) as raised:
        splot(data, [flat], weights=weights)
    assert_argument_note(raised.value, "weights")


def test_weight_count_is_checked_only_after_every_pdf_ran(data):
    pdf = Recorder()
    with pytest.raises(ValueError, match=r"^invalid input: event_weights has length 3, expected 10$"):
        splot(data, [pdf], weights=[1.0, 1.0, 1.0])
    assert len(pdf.calls) == 1


@pytest.mark.parametrize(
    ("keywords", "error", "parameter"),
    [
        ({"shape_parameters": "mu"}, TypeError, "shape_parameters"),
        ({"shape_parameters": [ShapeParameter("mu", 1.0), ("mu", 1.0)]}, TypeError, "shape_parameters"),
        ({"initial_yields": "12"}, TypeError, "initial_yields"),
        ({"initial_yields": [1.0, "x"]}, TypeError, "initial_yields"),
        ({"initial_yields": 5.0}, TypeError, "initial_yields"),
        ({"max_steps": -1}, OverflowError, "max_steps"),
        ({"max_steps": 2**64}, OverflowError, "max_steps"),
        ({"max_steps": 2.5}, TypeError, "max_steps"),
        ({"tolerance": "small"}, TypeError, "tolerance"),
    ],
)
def test_conversion_failures_keep_their_type_and_name_the_argument(data, keywords, error, parameter):
    pdf = Recorder()
    with pytest.raises(error) as raised:
        splot(data, [pdf], **keywords)
    assert_argument_note(raised.value, parameter)
    assert pdf.calls == []


def test_conversions_run_in_parameter_order(data):
    with pytest.raises(TypeError) as raised:
        splot(data, [flat], tolerance="x", max_steps=2.5, initial_yields="y")
    assert_argument_note(raised.value, "initial_yields")


@pytest.mark.parametrize(
    ("arguments", "keywords"),
    [
        ((1e-6,), {}),
        ((), {"tolerence": 1e-6}),
    ],
)
def test_signature_errors_are_type_errors_before_any_conversion(data, arguments, keywords):
    with pytest.raises(TypeError):
        splot(data, [flat], *arguments, **keywords)
    with pytest.raises(TypeError):
        splot(data=data)


def test_pdfs_receive_the_initial_values_in_a_fresh_dict_sorted_by_name(data):
    first = Recorder(lambda d: exponential(d, {}))

    def meddling(d, parameters):
        parameters["mu"] = -1.0
        return flat(d, parameters)

    second = Recorder(lambda d: fixed_gaussian(d, {}))
    parameters = [ShapeParameter("mu", 1.0), ShapeParameter("B", 2.0), ShapeParameter("a", 3.0)]
    splot(data, [meddling, first, second], shape_parameters=parameters, max_steps=1)
    assert list(first.calls[0][1].items()) == [("B", 2.0), ("a", 3.0), ("mu", 1.0)]
    assert first.calls[0][1] == second.calls[0][1]


@pytest.mark.parametrize("shape_parameters", [None, [], ()])
def test_no_shape_parameters_give_every_pdf_an_empty_dict_once(data, shape_parameters):
    pdfs = [Recorder(), Recorder(lambda d: fixed_gaussian(d, {}))]
    splot(data, pdfs, shape_parameters=shape_parameters)
    for pdf in pdfs:
        assert [parameters for _, parameters in pdf.calls] == [{}]


def test_duplicate_names_run_the_pdfs_with_the_last_value_then_fail(data):
    pdf = Recorder()
    with pytest.raises(ValueError, match='^invalid input: shape parameter name "mu" is duplicated$'):
        splot(data, [pdf], shape_parameters=[ShapeParameter("mu", 1.0), ShapeParameter("mu", 2.0)])
    assert [parameters for _, parameters in pdf.calls] == [{"mu": 2.0}]


def test_duplicate_name_message_quotes_the_name_as_the_representation_does(data):
    name = 'q"\0\u00a0e\u0301'
    parameter = ShapeParameter(name, 1.0)
    quoted = repr(parameter).removeprefix("ShapeParameter(name=").removesuffix(", initial=1, lower=-inf, upper=inf)")
    assert quoted == '"q\\"\\0\\u{a0}e\\u{301}"'
    with pytest.raises(ValueError) as raised:
        splot(data, [Recorder()], shape_parameters=[parameter, ShapeParameter(name, 2.0)])
    assert str(raised.value) == f"invalid input: shape parameter name {quoted} is duplicated"


@pytest.mark.parametrize(
    ("parameter", "text"),
    [
        (ShapeParameter("", 1.0), "invalid input: shape parameter has an invalid name or initial value"),
        (ShapeParameter("w", math.inf), "invalid input: shape parameter has an invalid name or initial value"),
        (ShapeParameter("w", 1.0, 1.0, 1.0), "invalid input: lower bound must be strictly less than upper bound: lower=1, upper=1"),
        (ShapeParameter("w", 1.0, math.nan, 2.0), "invalid input: lower or upper bound is NaN: lower=NaN, upper=2"),
        (ShapeParameter("w", 3.0, 0.0, 2.5), "invalid input: bounds must contain initial value: initial=3, bounds=(0, 2.5)"),
        (ShapeParameter("w", 1e23, 0.0, 2.0**60), "invalid input: bounds must contain initial value: initial=100000000000000000000000, bounds=(0, 1152921504606847000)"),
    ],
)
def test_invalid_shape_parameters_fail_before_any_pdf_runs(data, parameter, text):
    pdf = Recorder()
    with pytest.raises(ValueError) as raised:
        splot(data, [pdf], shape_parameters=[ShapeParameter("ok", 0.0), parameter])
    assert str(raised.value) == text
    assert raised.value.__cause__ is None
    assert pdf.calls == []


@pytest.mark.parametrize(
    ("keywords", "text"),
    [
        ({"tolerance": -1.0}, "invalid input: tolerance must be finite and positive"),
        ({"max_steps": 0}, "invalid input: max_steps must be positive"),
        ({"initial_yields": [1.0, math.nan]}, "invalid input: initial_yields must match the PDFs, be finite and nonnegative, and have positive sum"),
    ],
)
def test_fit_side_validation_follows_the_initial_evaluation(data, keywords, text):
    pdfs = [Recorder(), Recorder(lambda d: fixed_gaussian(d, {}))]
    with pytest.raises(ValueError) as raised:
        splot(data, pdfs, **keywords)
    assert str(raised.value) == text
    assert [len(pdf.calls) for pdf in pdfs] == [1, 1]


@pytest.mark.parametrize("at, value", [((3, 0), math.inf), ((0, 0), -math.inf), ((-1, -1), math.nan)])
def test_non_finite_data_reaches_the_pdfs_then_fails_validation(data, at, value):
    data[at] = value
    pdf = Recorder()
    with pytest.raises(ValueError, match="^invalid input: event coordinates must be finite$"):
        splot(data, [pdf])
    assert len(pdf.calls) == 1


def test_step_limit_defaults_to_a_thousand_and_none_lifts_it(small_sample):
    parameters = [ShapeParameter("mu", 3.0, 2.0, 8.0), ShapeParameter("sigma", 2.0, 0.1, 5.0)]
    limited = splot(small_sample, [gaussian, exponential], shape_parameters=parameters, max_steps=1)
    assert not limited.success
    unlimited = splot(small_sample, [gaussian, exponential], shape_parameters=parameters, max_steps=None)
    default = splot(small_sample, [gaussian, exponential], shape_parameters=parameters)
    assert unlimited.success and default.success
    assert unlimited.minimum_nll == default.minimum_nll


def test_initial_yields_accept_any_numbers(data):
    result = splot(data, [flat, fixed_gaussian], initial_yields=(np.float32(4.0), 6))
    assert result.yields.shape == (2,)


def test_splot_is_the_module_function_with_its_signature():
    assert tarnwex.splot.__name__ == "splot"
    assert tarnwex.splot.__module__ == "tarnwex"
    parameters = inspect.signature(tarnwex.splot).parameters
    assert list(parameters) == ["data", "pdfs", "shape_parameters", "initial_yields", "weights", "max_steps", "tolerance"]
    kinds = [parameter.kind for parameter in parameters.values()]
    assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2 + [inspect.Parameter.KEYWORD_ONLY] * 5
    assert [parameters[name].default for name in ("shape_parameters", "initial_yields", "weights", "max_steps", "tolerance")] == [None, None, None, ..., 1e-8]
