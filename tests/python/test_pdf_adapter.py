"""How the fit evaluates Python PDFs: one call per point, checked outputs, mapped failures."""

import numpy as np
import pytest

from conftest import exponential, gaussian
import tarnwex
from tarnwex import ShapeParameter, SPlotError, splot

N_EVENTS = 10


@pytest.fixture
def data():
    return np.linspace(1.0, 9.0, N_EVENTS)[:, None]


def parameters():
    return [ShapeParameter("mu", 4.0, 2.0, 8.0), ShapeParameter("sigma", 1.5, 0.3, 4.0)]


class Counting:
    """Wraps a density, records every point, and misbehaves from call `fail_at` on."""

    def __init__(self, density, fail_at=None, failure=None):
        self.density = density
        self.points = []
        self.fail_at = fail_at
        self.failure = failure

    def __call__(self, data, parameters):
        self.points.append(tuple(parameters.items()))
        if self.fail_at is not None and len(self.points) >= self.fail_at:
            return self.failure(data, parameters)
        return self.density(data, parameters)


def test_a_pdf_is_called_once_per_distinct_point_unless_it_declares_what_it_depends_on(small_sample):
    """Without a declaration every PDF runs at every distinct point; a PDF
    that declares no shape parameter runs at the start and for the check at
    the fitted point only (there, then with each parameter moved), and the
    fit is the same."""
    def fit(declare):
        pdfs = [Counting(gaussian), Counting(exponential)]
        if declare:
            pdfs[0].__tarnwex_parameters__ = ("mu", "sigma")
            pdfs[1].__tarnwex_parameters__ = ()
        return splot(small_sample, pdfs, shape_parameters=parameters()), pdfs

    plain, (signal, background) = fit(False)
    assert all(before != after for before, after in zip(signal.points, signal.points[1:]))
    assert signal.points[0] == background.points[0] == (("mu", 4.0), ("sigma", 1.5))
    assert background.points == signal.points
    declared, (_, quiet) = fit(True)
    assert len(quiet.points) == 1 + 2 + 1
    assert quiet.points[-1] == tuple(declared.shape_parameters.items())
    assert declared.minimum_nll == plain.minimum_nll
    np.testing.assert_array_equal(declared.sweights, plain.sweights)


def test_a_pdf_that_ignores_a_parameter_only_near_the_start_is_fitted_as_it_is(small_sample):
    """The background's slope follows mu above 4.5 only. Undeclared, the fit
    finds its minimum from a start where it does not; declared independent
    of mu, the check at the fitted point refuses the claim."""
    def background(d, p):
        slope = 0.1 + 0.5 * max(p["mu"] - 4.5, 0.0)
        return slope * np.exp(-slope * d[:, 0]) / (1.0 - np.exp(-10.0 * slope))

    def fit(mu, pdf=background):
        shapes = [ShapeParameter("mu", mu, 2.0, 8.0), ShapeParameter("sigma", 1.5, 0.3, 4.0)]
        return splot(small_sample, [gaussian, pdf], shape_parameters=shapes)

    near, far = fit(5.0), fit(4.0)
    assert far.success
    np.testing.assert_allclose(far.yields, near.yields, rtol=1e-4)
    assert abs(far.shape_parameters["mu"] - near.shape_parameters["mu"]) < 1e-2 * far.shape_errors["mu"]

    def claims_none(d, p):
        return background(d, p)

    claims_none.__tarnwex_parameters__ = ["sigma"]
    with pytest.raises(SPlotError, match="^PDF evaluation failed: PDF 1 depends on shape parameter "
                                         '"mu", which it does not declare$'):
        fit(4.0, claims_none)


@pytest.mark.parametrize("declared, error, message", [
    (("mu", "width"), ValueError, "invalid input: PDF 0 declares \"width\", which is not a shape parameter"),
    ("mu", TypeError, "PDF 0: __tarnwex_parameters__ must be an iterable of shape-parameter names"),
    ((1,), TypeError, "PDF 0: __tarnwex_parameters__ must be an iterable of shape-parameter names"),
])
def test_a_declaration_names_shape_parameters(small_sample, declared, error, message):
    """A declaration that is not a collection of the fit's shape-parameter
    names is refused before any fit."""
    pdf = Counting(gaussian)
    pdf.__tarnwex_parameters__ = declared
    with pytest.raises(error, match=message):
        splot(small_sample, [pdf, exponential], shape_parameters=parameters())


def raise_value_error(data, parameters):
    raise ValueError("bad width")


class Outer:
    class Failure(Exception):
        pass


def raise_nested_class(data, parameters):
    raise Outer.Failure("inner")


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raise_unprintable(data, parameters):
    raise Unprintable()


def raise_surrogate(data, parameters):
    raise RuntimeError("a\ud800b")


@pytest.mark.parametrize(
    ("failure", "pdf_index", "text"),
    [
        (lambda d, p: [0.1] * N_EVENTS, 0, "PDF evaluation failed: PDF 0 must return a one-dimensional float64 NumPy array"),
        (lambda d, p: np.full(N_EVENTS, 0.1, np.float32), 1, "PDF evaluation failed: PDF 1 must return a one-dimensional float64 NumPy array"),
        (lambda d, p: np.full((N_EVENTS, 1), 0.1), 0, "PDF evaluation failed: PDF 0 must return a one-dimensional float64 NumPy array"),
        (lambda d, p: np.full(N_EVENTS - 1, 0.1), 1, "PDF evaluation failed: PDF 1 returned 9 values, expected 10"),
        (raise_value_error, 0, "PDF evaluation failed: ValueError: bad width"),
        (raise_nested_class, 0, "PDF evaluation failed: Outer.Failure: inner"),
        (raise_unprintable, 1, "PDF evaluation failed: Unprintable: <exception str() failed>"),
        (raise_surrogate, 0, "PDF evaluation failed: RuntimeError: a\ufffdb"),
    ],
)
def test_failures_during_the_fit_become_splot_errors(data, failure, pdf_index, text):
    densities = [gaussian, exponential]
    pdfs = [Counting(density) for density in densities]
    pdfs[pdf_index] = Counting(densities[pdf_index], fail_at=2, failure=failure)
    with pytest.raises(SPlotError) as raised:
        splot(data, pdfs, shape_parameters=parameters())
    assert str(raised.value) == text
    assert raised.value.args == (text,)
    assert raised.value.__cause__ is None and raised.value.__context__ is None


def test_outputs_in_any_layout_are_read_in_logical_order(small_sample):
    def reversed_view(density):
        def pdf(data, parameters):
            values = density(data, parameters)
            stored = np.empty(2 * values.size)
            stored[::2] = values[::-1]
            return stored[-2::-2]

        return pdf

    def swapped(density):
        return lambda data, parameters: density(data, parameters).astype(">f8")

    plain = splot(small_sample, [gaussian, exponential], shape_parameters=parameters())
    other = splot(small_sample, [reversed_view(gaussian), swapped(exponential)], shape_parameters=parameters())
    np.testing.assert_array_equal(plain.yields, other.yields)
    np.testing.assert_array_equal(plain.sweights, other.sweights)
    assert plain.objective_evaluations == other.objective_evaluations


def test_array_subclasses_are_accepted_as_outputs(small_sample):
    class Tagged(np.ndarray):
        pass

    tagged = lambda d, p: gaussian(d, p).view(Tagged)
    result = splot(small_sample, [tagged, exponential], shape_parameters=parameters())
    assert result.success


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_exceptions_that_are_not_errors_stop_the_fit_unchanged(data, stop):
    raised_object = stop("stop now")

    def stopping(d, p):
        raise raised_object

    pdfs = [Counting(gaussian, fail_at=3, failure=stopping), Counting(exponential)]
    with pytest.raises(stop) as raised:
        splot(data, pdfs, shape_parameters=parameters())
    assert raised.value is raised_object
    assert raised.value.__traceback__ is not None


def test_a_pdf_may_run_a_fit_of_its_own(small_sample):
    inner_results = []

    def nesting(data, parameters):
        if len(inner_results) < 3:
            inner_results.append(splot(data, [gaussian, exponential], shape_parameters=[ShapeParameter("mu", 5.0, 2.0, 8.0), ShapeParameter("sigma", 0.5, 0.1, 2.0)]))
        return gaussian(data, parameters)

    outer = splot(small_sample, [nesting, exponential], shape_parameters=parameters())
    plain = splot(small_sample, [gaussian, exponential], shape_parameters=parameters())
    assert len(inner_results) == 3
    assert all(inner.success for inner in inner_results)
    np.testing.assert_array_equal(outer.yields, plain.yields)


def test_module_keeps_no_state_between_calls(small_sample):
    first = splot(small_sample, [gaussian, exponential], shape_parameters=parameters())
    with pytest.raises(tarnwex.SPlotError):
        splot(small_sample, [gaussian, Counting(exponential, fail_at=2, failure=raise_value_error)], shape_parameters=parameters())
    again = splot(small_sample, [gaussian, exponential], shape_parameters=parameters())
    np.testing.assert_array_equal(first.sweights, again.sweights)
    assert first.objective_evaluations == again.objective_evaluations
