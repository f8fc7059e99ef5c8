"""A fit that reports Success is at its minimum, and its parameters are
the ones evaluated: no PDF ever sees a non-finite value or one outside its
parameter's bounds, whatever the start."""

import math

import numpy as np
import pytest

import tarnwex
from conftest import HIGH, LOW, flat
from conftest import normal_cdf as _ndtr


class Box:
    """PDFs that record every parameter value they are called with outside its bounds."""

    def __init__(self, **bounds):
        self.bounds = bounds
        self.outside = []

    def check(self, p):
        self.outside += [(k, v) for k, v in p.items()
                         if not (math.isfinite(v) and self.bounds[k][0] <= v <= self.bounds[k][1])]

    def peak(self, d, p):
        self.check(p)
        mu, s = p["mu"], p["sigma"]
        norm = s * math.sqrt(2.0 * math.pi) * (_ndtr((HIGH - mu) / s) - _ndtr((LOW - mu) / s))
        return np.exp(-0.5 * ((d[:, 0] - mu) / s) ** 2) / norm

    def falling(self, d, p):
        self.check(p)
        k = p["slope"]
        return k * np.exp(-k * d[:, 0]) / -math.expm1(-k * (HIGH - LOW))

    def parameters(self, **starts):
        return [tarnwex.ShapeParameter(k, starts[k], *self.bounds[k]) for k in self.bounds]


def fixed_peak(d, p):
    return np.exp(-0.5 * ((d[:, 0] - 5.0) / 0.5) ** 2) / (0.5 * math.sqrt(2.0 * math.pi))


@pytest.mark.parametrize("seed", range(4))
def test_a_pure_signal_fitted_with_signal_and_background_converges_inside_the_box(seed):
    # The background vanishes and its refit runs; once a NaN width reached
    # the peak there, and the gradient's differences stepped past the slope's
    # lower bound.
    box = Box(mu=(1.0, 9.0), sigma=(0.05, 3.0), slope=(0.01, 2.0))
    data = np.random.default_rng(seed).normal(5.0, 0.5, 5000).reshape(-1, 1)
    result = tarnwex.splot(data, [box.peak, box.falling],
                           shape_parameters=box.parameters(mu=5.2, sigma=0.6, slope=0.1))
    assert result.success, result.message
    assert box.outside == []
    assert result.yields[0] == pytest.approx(5000.0, rel=1e-6)


@pytest.mark.parametrize("start, n_signal", [(1e6, 250), (1e13, 250), (3e13, 750)])
def test_huge_start_yields_end_at_the_minimum_with_the_nll_of_the_point_reported(start, n_signal):
    # The first trial once left the box and was taken with its own value:
    # Success at yields of 2e-16 with the NLL of every density floored. And
    # the objective-change floor, 8 ulp of the start's NLL, stopped a fit
    # 0.7 above its minimum.
    rng = np.random.default_rng(0)
    data = np.concatenate([rng.normal(5.0, 0.5, n_signal), rng.uniform(0.0, 10.0, 3 * n_signal)])
    data = data.reshape(-1, 1)
    result = tarnwex.splot(data, [fixed_peak, flat], initial_yields=[start, start])
    densities = np.stack([fixed_peak(data, {}), flat(data, {})])

    def nll(yields):
        return yields.sum() - np.sum(np.log(yields @ densities))

    # The minimum by expectation-maximisation, y_k <- sum_e y_k f_k(e) / d_e,
    # which converges to it from any positive start.
    reference = np.array([1.0, 1.0])
    for _ in range(10_000):
        updated = reference * (densities / (reference @ densities)).sum(axis=1)
        if np.max(np.abs(updated - reference)) < 1e-9:
            break
        reference = updated
    assert result.success, result.message
    assert result.minimum_nll == pytest.approx(nll(result.yields), abs=1e-6)
    assert result.minimum_nll <= nll(reference) + 1e-3
    np.testing.assert_allclose(result.yields, reference, atol=0.05)


def test_a_start_near_the_fitted_shapes_is_not_refitted_however_large_the_sample():
    # With errors shrinking as 1/sqrt(N), a start 1.4 % off once counted as
    # a shape that travelled, and the fit ran three times.
    rng = np.random.default_rng(5)
    data = np.concatenate([rng.normal(5.0, 0.3, 20_000), rng.uniform(0.0, 10.0, 180_000)]).reshape(-1, 1)
    box = Box(mu=(3.0, 7.0), sigma=(0.05, 2.0))
    results = [tarnwex.splot(data, [box.peak, flat], shape_parameters=box.parameters(mu=mu, sigma=sigma))
               for mu, sigma in [(5.0, 0.3), (5.07, 0.305)]]
    assert [r.hessian_evaluations for r in results] == [1, 1]
    assert results[1].objective_evaluations <= 1.5 * results[0].objective_evaluations
    assert results[1].minimum_nll == pytest.approx(results[0].minimum_nll, abs=1e-3)


def test_max_steps_is_the_budget_of_the_whole_fit():
    # The pure signal's background vanishes and the fit runs again; with a
    # budget that the first run uses up, no refit runs at all (each run once
    # had max_steps of its own).
    box = Box(mu=(1.0, 9.0), sigma=(0.05, 3.0), slope=(0.01, 2.0))
    data = np.random.default_rng(0).normal(5.0, 0.5, 5000).reshape(-1, 1)

    def fit(max_steps):
        return tarnwex.splot(data, [box.peak, box.falling], max_steps=max_steps,
                             shape_parameters=box.parameters(mu=5.2, sigma=0.6, slope=0.1))

    unlimited = fit(None)
    low, high = 1, 1000  # the first run's steps: the least budget that converges
    while low < high:
        middle = (low + high) // 2
        low, high = (low, middle) if fit(middle).success else (middle + 1, high)
    just_enough = fit(low)
    assert just_enough.success and unlimited.success
    assert just_enough.objective_evaluations < unlimited.objective_evaluations
    assert fit(low - 1).message == f"Message: Maximum number of steps reached ({low - 1})"
