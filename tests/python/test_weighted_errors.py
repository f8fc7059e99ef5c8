"""The errors of a weighted fit against the spread of its results over toys.

With weights the inverse Hessian of the weighted NLL understates the
spread (by about sqrt(E[w^2]) / E[w] for weights that do not depend on the
fitted variable); the fit reports H^-1 C H^-1 instead.
"""

import math

import numpy as np
import pytest

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


def test_a_width_the_data_barely_fix_next_to_its_bound_gets_the_sandwich_right():
    """Background only: the signal's position ends on its bound and its width,
    known to ten times its value, next to its own. The one-sided differences
    along the width are shortened until they are accurate, so the signal
    yield's error matches a sandwich whose derivatives are taken, in NumPy,
    with a step a hundred times shorter and extrapolated."""
    rng = np.random.default_rng(4)
    x = -np.log(1.0 - rng.random(3000) * -math.expm1(-3.0)) / 0.3
    w = rng.uniform(0.3, 1.7, 3000)

    def gauss(mu, s):
        norm = 0.5 * (math.erf((10.0 - mu) / (s * 2**0.5)) - math.erf(-mu / (s * 2**0.5)))
        return np.exp(-0.5 * ((x - mu) / s) ** 2) / (s * math.sqrt(2.0 * math.pi) * norm)

    def falling(k):
        return k * np.exp(-k * x) / -math.expm1(-10.0 * k)

    result = tarnwex.splot(x[:, None], [lambda d, p: gauss(p["mu"], p["sigma"]), lambda d, p: falling(p["slope"])],
                           shape_parameters=[tarnwex.ShapeParameter("mu", 9.0, 8.5, 9.5),
                                             tarnwex.ShapeParameter("sigma", 0.3, 0.2, 0.4),
                                             tarnwex.ShapeParameter("slope", 0.3, 0.01, 3.0)],
                           weights=w)
    assert result.shape_parameters["mu"] == 8.5 and math.isnan(result.shape_errors["mu"])
    # The free parameters (yields, sigma, slope) with mu held on its bound.
    p0 = np.array([*result.yields, result.shape_parameters["sigma"], result.shape_parameters["slope"]])
    upper = np.array([np.inf, np.inf, 0.4, 3.0])

    def log_d(p):
        return np.log(p[0] * gauss(8.5, p[2]) + p[1] * falling(p[3]))

    def derivative(f, p, i, h=1e-4):
        """d f / d p_i: extrapolated central differences, or a four-point
        one-sided stencil below an upper bound that leaves no room."""
        def at(step):
            q = p.copy()
            q[i] += step
            return f(q)
        h *= max(abs(p[i]), 1.0) if i < 2 else 1.0
        if p[i] + 2 * h <= upper[i]:
            return (8 * (at(h) - at(-h)) - (at(2 * h) - at(-2 * h))) / (12 * h)
        return (-11 * f(p) + 18 * at(-h) - 9 * at(-2 * h) + 2 * at(-3 * h)) / (-6 * h)

    def gradient(p):
        scores = np.array([derivative(log_d, p, i) for i in range(4)])
        return np.array([1.0, 1.0, 0.0, 0.0]) - scores @ w, scores

    hessian = np.array([derivative(lambda q, i=i: gradient(q)[0][i], p0, j) for i in range(4) for j in range(4)])
    hessian = hessian.reshape(4, 4)
    inverse = np.linalg.inv(0.5 * (hessian + hessian.T))
    scores = gradient(p0)[1]
    sandwich = inverse @ ((scores * w**2) @ scores.T) @ inverse
    assert result.yield_errors[0] == pytest.approx(math.sqrt(sandwich[0, 0]), rel=5e-3)
