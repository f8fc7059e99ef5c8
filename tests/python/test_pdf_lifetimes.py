"""A PDF that fails at any one of its calls ends the fit cleanly.

One PDF of a model raises or returns invalid values (NaN, negative, one value
short) at its k-th call, for every k up to the number of calls the same fit
makes when nothing goes wrong. Each fit must end in an SPlotError that names
the failure, or, when the call fed only a refit that the fit may give up, in
a converged result: never another exception, never a crash. Every k stops the
fit in another phase, with other outputs kept, reused or released, which
scripts/sanitize.sh watches for use after free.
"""

import math

import numpy as np
import pytest

from tarnwex import ShapeParameter, SPlotError, splot

LOW, HIGH = 0.0, 10.0
FAILURES = ("raise", "nan", "negative", "short")


class Broken(Exception):
    pass


def value(parameters, entry):
    return parameters[entry] if isinstance(entry, str) else entry


def gaussian(mu, sigma):
    """Gaussian normalised over [LOW, HIGH]; mu and sigma are shape-parameter names or numbers."""
    def density(data, parameters):
        m, s = value(parameters, mu), value(parameters, sigma)
        norm = 0.5 * (math.erf((HIGH - m) / (s * math.sqrt(2.0))) - math.erf((LOW - m) / (s * math.sqrt(2.0))))
        return np.exp(-0.5 * ((data[:, 0] - m) / s) ** 2) / (s * math.sqrt(2.0 * math.pi) * norm)
    return density, tuple(entry for entry in (mu, sigma) if isinstance(entry, str))


def exponential(slope):
    def density(data, parameters):
        k = parameters[slope]
        return k * np.exp(-k * (data[:, 0] - LOW)) / -math.expm1(-k * (HIGH - LOW))
    return density, (slope,)


FLAT = (lambda data, parameters: np.full(len(data), 1.0 / (HIGH - LOW)), ())


def wrapped(density, names, declared, at=None, failure=None):
    """The density, counting its calls in `calls` and failing as `failure` at call `at`."""
    def pdf(data, parameters):
        pdf.calls += 1
        values = density(data, parameters)
        if pdf.calls != at:
            return values
        if failure == "raise":
            raise Broken(f"call {at}")
        if failure == "short":
            return values[:-1]
        values[at % len(values)] = math.nan if failure == "nan" else -1.0
        return values

    pdf.calls = 0
    if declared:
        pdf.__tarnwex_parameters__ = names
    return pdf


def fail_at_every_call(data, model, shapes, culprit, declared, failures):
    """Fits once cleanly to count the culprit's calls, then once per call with that call failing."""
    counting = [wrapped(*pdf, declared) for pdf in model]
    splot(data, counting, shape_parameters=shapes)
    n = len(data)
    for at in range(1, counting[culprit].calls + 1):
        failure = failures[at % len(failures)]
        pdfs = [wrapped(*pdf, declared, *((at, failure) if i == culprit else ())) for i, pdf in enumerate(model)]
        try:
            result = splot(data, pdfs, shape_parameters=shapes)
        except SPlotError as error:
            # Named by the PDF's own exception, or by the culprit's index.
            named = f"Broken: call {at}" if failure == "raise" else f"PDF {culprit} "
            assert str(error).startswith("PDF evaluation failed: ") and named in str(error), (at, failure, error)
        except (Broken, ValueError) as error:
            # The start point: a PDF's own exception and a wrong length reach the caller unchanged.
            assert at == 1 and failure in ("raise", "short"), (at, failure, error)
            expected = f"PDF {culprit} returned {n - 1} values, expected {n}"
            assert type(error) is Broken if failure == "raise" else str(error) == expected
        else:
            # Only a refit may be given up, and a refit follows a converged run, which stands.
            assert at > 1 and result.success, (at, failure)


def sample(rng, n_events):
    """Events of every kind of component the tests use, inside [LOW, HIGH]."""
    kinds = [rng.normal(5.0, 0.6, n_events), rng.normal(3.0, 1.5, n_events), rng.normal(7.0, 0.5, n_events),
             rng.uniform(LOW, HIGH, n_events), rng.exponential(4.0, n_events)]
    return np.clip(np.choose(rng.choice(len(kinds), size=n_events), kinds), LOW, HIGH)[:, None]


def tiny_box(rng, name, centre):
    width = 10.0 ** -rng.uniform(3.0, 14.0)
    return ShapeParameter(name, centre, centre - width, centre + width)


@pytest.mark.parametrize("declared", [False, True], ids=["plain", "declared"])
@pytest.mark.parametrize("seed", range(12))
def test_a_pdf_failing_at_any_call_ends_the_fit_with_a_clear_error_or_a_result(seed, declared):
    """Guards every phase of the fit against a PDF failure: one to four components, free,
    nearly fixed (tiny box) and fixed shapes, and parameters no PDF uses."""
    rng = np.random.default_rng(seed)
    data = sample(rng, int(rng.integers(100, 301)))
    shapes = [ShapeParameter("mu", rng.uniform(4.0, 6.0), 2.0, 8.0), ShapeParameter("sigma", 1.0, 0.2, 3.0),
              ShapeParameter("slope", 0.3, 0.05, 2.0), tiny_box(rng, "narrow", 0.5), tiny_box(rng, "unused", 2.0)]
    kinds = [gaussian("mu", "sigma"), gaussian(7.0, "narrow"), gaussian(3.0, 1.5), FLAT, exponential("slope")]
    model = [kinds[i] for i in rng.choice(len(kinds), size=seed % 4 + 1, replace=False)]
    used = {name for _, names in model for name in names}
    shapes = [shape for shape in shapes if shape.name in used or shape.name == "unused"]
    failures = FAILURES[seed % 4:] + FAILURES[:seed % 4]
    fail_at_every_call(data, model, shapes, int(rng.integers(len(model))), declared, failures)


@pytest.mark.parametrize("declared", [False, True], ids=["plain", "declared"])
def test_a_parameterless_pdf_raising_beside_tiny_boxes_ends_the_fit_cleanly(declared):
    """Guards the model in which a use after free was once reported: 300 events, a Gaussian on p0,
    a flat density and a Gaussian that uses no parameter and raises at its 8th call (here at each
    of its calls in turn), beside several shape parameters, two of them in tiny boxes."""
    rng = np.random.default_rng(8)
    data = sample(rng, 300)
    shapes = [ShapeParameter("p0", 4.5, 2.0, 8.0), ShapeParameter("p1", 1.0, 0.5, 2.0),
              ShapeParameter("p2", 0.25, 0.25, 0.25 + 1e-12), ShapeParameter("p3", 3.0, 3.0 - 1e-9, 3.0 + 1e-9)]
    model = [gaussian("p0", 0.6), FLAT, gaussian(6.0, 1.5)]
    fail_at_every_call(data, model, shapes, 2, declared, ("raise",))
