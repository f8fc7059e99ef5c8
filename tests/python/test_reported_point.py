"""Everything a fit reports belongs to the point it reports, at any step
limit, whether its PDFs declare their shape parameters or not.

The background depends on the peak's position only where that lies above
5, a dependence a fit started below 5 does not see at first."""

import math

import numpy as np
import pytest

import tarnwex
from tarnwex import ShapeParameter

WIDTH = 0.3


def sample():
    rng = np.random.default_rng(3)
    norm = -math.expm1(-3.0)
    tail = np.where(rng.random(4000) < 0.2, rng.uniform(0, 10, 4000), -np.log(1 - rng.random(4000) * norm) / 0.3)
    return np.r_[rng.normal(5.6, WIDTH, 1000), tail][:, None]


def signal(d, p):
    a = p["a"]
    norm = 0.5 * (math.erf((10 - a) / (WIDTH * 2**0.5)) - math.erf(-a / (WIDTH * 2**0.5)))
    return np.exp(-0.5 * ((d[:, 0] - a) / WIDTH) ** 2) / (WIDTH * (2 * math.pi) ** 0.5 * norm)


def background(d, p):
    u = min(max(p["a"] - 5, 0), 1) ** 2
    b = p["b"]
    return (1 - u) * b * np.exp(-b * d[:, 0]) / -math.expm1(-10 * b) + u / 10


def declared(f, names):
    def pdf(d, p):
        return f(d, p)
    pdf.__tarnwex_parameters__ = names
    return pdf


DATA = sample()
SHAPES = [ShapeParameter("a", 4.5, 3, 7), ShapeParameter("b", 0.5, 0.05, 3)]
PLAIN = [signal, background]
DECLARED = [declared(signal, ("a",)), declared(background, ("a", "b"))]


def nll(result, a=None):
    p = dict(result.shape_parameters)
    if a is not None:
        p["a"] = a
    d = result.yields[0] * signal(DATA, p) + result.yields[1] * background(DATA, p)
    return math.fsum([*result.yields, *(-np.log(np.maximum(d, 1e-300)))])


@pytest.mark.parametrize("pdfs", [PLAIN, DECLARED], ids=["plain", "declared"])
def test_every_output_belongs_to_the_reported_point(pdfs):
    """minimum_nll is the NLL there; a limit names the caller's budget; a
    Success is a minimum (a gradient far below an error's worth) whose
    errors a fit started there reproduces."""
    for max_steps in range(4, 26):
        result = tarnwex.splot(DATA, pdfs, shape_parameters=SHAPES, max_steps=max_steps)
        assert result.minimum_nll == pytest.approx(nll(result), rel=1e-12, abs=0)
        if not result.success:
            assert result.message == f"Message: Maximum number of steps reached ({max_steps})"
            continue
        a, error = result.shape_parameters["a"], result.shape_errors["a"]
        h = 1e-3 * error
        assert abs(nll(result, a + h) - nll(result, a - h)) / (2 * h) * error < 0.1
        again = tarnwex.splot(DATA, pdfs, initial_yields=list(result.yields), shape_parameters=[
            ShapeParameter(s.name, result.shape_parameters[s.name], s.lower, s.upper) for s in SHAPES])
        np.testing.assert_allclose(again.yield_errors, result.yield_errors, rtol=5e-3)
        assert again.shape_errors == pytest.approx(result.shape_errors, rel=5e-3)


def test_a_declaration_that_leaves_out_a_dependence_is_refused():
    """The background declared independent of the peak's position: the check
    at the fitted point finds that it is not, whatever the fit saw."""
    with pytest.raises(tarnwex.SPlotError, match='PDF 1 depends on shape parameter "a", which it does not declare'):
        tarnwex.splot(DATA, [declared(signal, ("a",)), declared(background, ("b",))], shape_parameters=SHAPES)
