"""The errors of a weighted fit against the spread of its results over toys.

With weights the inverse Hessian of the weighted NLL understates the
spread (by about sqrt(E[w^2]) / E[w] for weights that do not depend on the
fitted variable); the fit reports H^-1 C H^-1 instead.
"""

import math

import numpy as np

import tarnwex


def peak(data, parameters):
    return np.exp(-0.5 * ((data[:, 0] - 5.0) / 0.5) ** 2) / (0.5 * math.sqrt(2.0 * math.pi))


def flat(data, parameters):
    return np.full(len(data), 0.1)


def toy(seed, control_events=0):
    """Poisson(600) peak and Poisson(1400) flat events, weighted 1, then a
    Poisson(control_events) flat control sample weighted -1."""
    rng = np.random.default_rng(seed)
    x = np.concatenate([rng.normal(5.0, 0.5, rng.poisson(600)), rng.uniform(0.0, 10.0, rng.poisson(1400))])
    control = rng.uniform(0.0, 10.0, rng.poisson(control_events))
    weights = np.concatenate([np.ones(len(x)), -np.ones(len(control))])
    return rng, np.concatenate([x, control]).reshape(-1, 1), weights


def test_efficiency_weights_give_pulls_of_unit_width():
    pulls, ratios = [], []
    for t in range(100):
        rng, data, _ = toy(1000 + t)
        weights = rng.uniform(0.1, 1.9, len(data))
        result = tarnwex.splot(data, [peak, flat], weights=weights)
        pulls.append((result.yields[0] - 600.0) / result.yield_errors[0])
        # The inverse Hessian of the weighted NLL, as an unweighted fit would report it.
        f = np.stack([peak(data, {}), flat(data, {})])
        d = result.yields @ f
        hessian = (weights * f / d**2) @ f.T
        ratios.append(result.yield_errors[0] / math.sqrt(np.linalg.inv(hessian)[0, 0]))
    assert abs(np.std(pulls) - 1.0) < 0.15
    # sqrt(E[w^2]) / E[w] = 1.127 for these weights.
    assert 1.08 < np.mean(ratios) < 1.18


def test_a_background_subtraction_reports_the_spread_of_its_yields():
    # The control sample, weighted -1, removes half the background.
    yields, errors = [], []
    for t in range(150):
        _, data, weights = toy(2000 + t, control_events=700)
        result = tarnwex.splot(data, [peak, flat], weights=weights)
        yields.append(result.yields[0])
        errors.append(result.yield_errors[0])
    assert abs(np.mean(errors) / np.std(yields) - 1.0) < 0.15


def test_unit_weights_leave_every_error_as_without_weights():
    _, data, _ = toy(7)
    plain = tarnwex.splot(data, [peak, flat])
    unit = tarnwex.splot(data, [peak, flat], weights=np.ones(len(data)))
    assert np.array_equal(unit.fit_covariance, plain.fit_covariance)
    assert np.array_equal(unit.yield_errors, plain.yield_errors)
