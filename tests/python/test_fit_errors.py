"""The fit's errors against the analytic Hessian of the test's own model.

A Gaussian signal (free mean and width) on a linear background whose slope
parameter is scaled so that its error is near 1 while its value is near 0:
the errors must match sqrt(diag(H^-1)) of the analytic Hessian at the fitted
point, for small signals down to a yield fitted at its lower bound.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

import tarnwex
from conftest import normal_cdf as _ndtr

LOW, HIGH = 0.0, 10.0


def gaussian(x, mu, width):
    z = (x - mu) / width
    return np.exp(-0.5 * z * z) / (math.sqrt(2.0 * math.pi) * width)


def make_data(n_events, n_signal, seed):
    rng = np.random.default_rng(seed)
    signal = rng.normal(5.0, 0.3, n_signal)
    background = rng.uniform(LOW, HIGH, n_events - n_signal)
    return np.concatenate([signal, background]).reshape(-1, 1)


def analytic_errors(x, yields, mu, width, slope, scale, shapes, weights=None):
    """sqrt(diag(H^-1)) of sum_y - sum w ln(y_s G + y_b B), B = (1 + slope scale u) / 10;
    with weights, of the sandwich H^-1 C H^-1, C = sum w^2 s s^T."""
    w = np.ones_like(x) if weights is None else weights
    ys, yb = yields
    z = (x - mu) / width
    g = gaussian(x, mu, width)
    u = (x - 5.0) / 5.0
    b = (1.0 + slope * scale * u) / (HIGH - LOW)
    d = ys * g + yb * b
    first = [g, b]
    second = {}
    if shapes:
        g_mu, g_w = g * z / width, g * (z * z - 1.0) / width
        b_s = scale * u / (HIGH - LOW)
        first += [ys * g_mu, ys * g_w, yb * b_s]
        second = {(0, 2): g_mu, (0, 3): g_w, (1, 4): b_s,
                  (2, 2): ys * g * (z * z - 1.0) / width**2,
                  (2, 3): ys * g * (z**3 - 3.0 * z) / width**2,
                  (3, 3): ys * g * (z**4 - 5.0 * z * z + 2.0) / width**2}
    n = len(first)
    hessian = np.empty((n, n))
    for i in range(n):
        for j in range(i, n):
            term = first[i] * first[j] / (d * d) - second.get((i, j), 0.0) / d
            hessian[i, j] = hessian[j, i] = np.sum(w * term)
    inverse = np.linalg.inv(hessian)
    if weights is not None:
        scores = np.array(first) / d
        inverse = inverse @ ((w * w * scores) @ scores.T) @ inverse
    return np.sqrt(np.diag(inverse))


def fit(data, n_signal, shapes, scale, weights=None):
    def signal(d, p):
        return gaussian(d[:, 0], p.get("mu", 5.0), p.get("width", 0.3))

    def background(d, p):
        return (1.0 + p.get("slope", 0.0) * scale * (d[:, 0] - 5.0) / 5.0) / (HIGH - LOW)

    parameters = []
    if shapes:
        parameters = [tarnwex.ShapeParameter("mu", 5.02, 4.0, 6.0),
                      tarnwex.ShapeParameter("width", 0.31, 0.05, 1.0),
                      tarnwex.ShapeParameter("slope", 0.1, -0.9 / scale, 0.9 / scale)]
    return tarnwex.splot(data, [signal, background], shape_parameters=parameters,
                         initial_yields=[n_signal + 10, len(data) - n_signal], weights=weights)


@pytest.mark.parametrize("n_events, n_signal, shapes, seed", [
    (10_000, 0, False, 2),
    (10_000, 500, True, 1),
    (100_000, 1_000, True, 2),
    (1_000_000, 2_000, False, 4),
])
def test_small_signal_errors_match_the_analytic_hessian(n_events, n_signal, shapes, seed):
    data = make_data(n_events, n_signal, seed)
    scale = math.sqrt(3.0 / n_events)  # makes the slope's error about 1
    result = fit(data, n_signal, shapes, scale)
    p = result.shape_parameters
    expected = analytic_errors(data[:, 0], result.yields, p.get("mu", 5.0), p.get("width", 0.3),
                               p.get("slope", 0.0), scale, shapes)
    errors = np.concatenate([result.yield_errors,
                             [result.shape_errors[k] for k in ("mu", "width", "slope") if shapes]])
    assert not np.isnan(errors).any()
    np.testing.assert_allclose(errors, expected, rtol=0.01)
    if n_signal == 0:
        assert result.yields[0] == pytest.approx(2.0**-52)
    if shapes:
        assert abs(p["slope"]) < 3.0 and 0.9 < result.shape_errors["slope"] < 1.1


def test_weighted_errors_match_the_analytic_sandwich():
    data = make_data(20_000, 2_000, 5)
    weights = np.random.default_rng(6).uniform(0.1, 1.9, len(data))
    scale = math.sqrt(3.0 / len(data))
    result = fit(data, 2_000, True, scale, weights)
    p = result.shape_parameters
    expected = analytic_errors(data[:, 0], result.yields, p["mu"], p["width"], p["slope"], scale, True,
                               weights)
    errors = [*result.yield_errors, *(result.shape_errors[k] for k in ("mu", "width", "slope"))]
    np.testing.assert_allclose(errors, expected, rtol=1e-3)


def test_well_separated_yields_only_fit_covariance_is_the_splot_covariance():
    rng = np.random.default_rng(5)
    data = np.concatenate([rng.normal(4.0, 0.7, 3000), rng.normal(6.0, 1.0, 5000)]).reshape(-1, 1)
    result = tarnwex.splot(data, [lambda d, p: gaussian(d[:, 0], 4.0, 0.7),
                                  lambda d, p: gaussian(d[:, 0], 6.0, 1.0)])
    np.testing.assert_allclose(result.fit_covariance, result.covariance, rtol=1e-9)


@pytest.mark.parametrize("sigma", [tarnwex.ShapeParameter("sigma", 0.05),
                                   tarnwex.ShapeParameter("sigma", 0.05, 0.01, 3.0)])
def test_the_width_of_a_vanished_peak_has_no_error(sigma):
    # Background only: the peak's yield ends at its bound, where its width no
    # longer changes the likelihood. The width's error is NaN, so is the absent
    # peak's yield's (its direction is tied to the width's), and the
    # background keeps its real error, sqrt(5000).
    data = np.random.default_rng(2).uniform(LOW, HIGH, 5000).reshape(-1, 1)

    def peak(d, p):
        if p["sigma"] <= 0.0:
            raise ValueError("the width must be positive")
        return gaussian(d[:, 0], 5.0, p["sigma"])

    result = tarnwex.splot(data, [peak, lambda d, p: np.full(len(d), 0.1)], shape_parameters=[sigma])
    assert result.success and result.yields[0] == 2.0**-52
    assert math.isnan(result.shape_errors["sigma"])
    assert math.isnan(result.yield_errors[0]) or result.yield_errors[0] > 1.0
    np.testing.assert_allclose(result.yield_errors[1], math.sqrt(5000.0), rtol=1e-3)


def _shifted_fit(u, lo):
    """A peak on exp(10 a (x - lo) + b (x^2 - lo^2)) over [lo, lo + 1]: the same
    model for every lo, with a and b correlated to 1 - 1e-6 at lo = 50."""
    nodes, weights = np.polynomial.legendre.leggauss(64)
    nodes, weights = 0.5 * (nodes + 1.0), 0.5 * weights

    def peak(d, p):
        mu, s = p["mu"], p["sigma"]
        norm = s * math.sqrt(2.0 * math.pi) * (_ndtr((lo + 1.0 - mu) / s) - _ndtr((lo - mu) / s))
        return np.exp(-0.5 * ((d[:, 0] - mu) / s) ** 2) / norm

    def background(d, p):
        def exponent(x):
            return 10.0 * p["a"] * (x - lo) + p["b"] * (x * x - lo * lo)
        return np.exp(exponent(d[:, 0])) / np.dot(weights, np.exp(exponent(lo + nodes)))

    parameters = [tarnwex.ShapeParameter("a", 0.0, -10.0, 10.0),
                  tarnwex.ShapeParameter("b", 0.0, -5.0, 5.0),
                  tarnwex.ShapeParameter("mu", lo + 0.52, lo + 0.1, lo + 0.9),
                  tarnwex.ShapeParameter("sigma", 0.06, 0.005, 0.5)]
    return tarnwex.splot((u + lo).reshape(-1, 1), [peak, background], shape_parameters=parameters)


def test_errors_do_not_depend_on_how_the_model_is_written():
    rng = np.random.default_rng(1)
    grid = np.linspace(0.0, 1.0, 100001)
    cdf = np.cumsum(np.exp(-grid - 0.5 * grid * grid))
    u = np.concatenate([rng.normal(0.5, 0.05, 2000),
                        np.interp(rng.uniform(size=8000), cdf / cdf[-1], grid)])
    errors = []
    for lo in (0.0, 5.0, 50.0):
        result = _shifted_fit(u, lo)
        assert result.success
        errors.append([*result.yield_errors, *(result.shape_errors[k] for k in ("b", "mu", "sigma"))])
    errors = np.array(errors)
    assert not np.isnan(errors).any()
    np.testing.assert_allclose(errors[1:], errors[[0, 0]], rtol=1e-3)


def test_a_peak_pushed_against_its_bound_is_held_there_and_the_rest_keep_their_errors():
    # Background only: from a start near the low end the peak's position
    # ends on its lower bound, beyond which the likelihood still falls. Its
    # error is unknown; the others' are those with it held there, as the
    # inverse of the NLL's own second differences at that point gives them.
    u = np.random.default_rng(42).uniform(size=2000)
    x = -np.log1p(u * math.expm1(-3.0)) / 0.3

    def peak(d, p):
        mu, s = p["mu"], p["sigma"]
        norm = s * math.sqrt(2.0 * math.pi) * (_ndtr((10.0 - mu) / s) - _ndtr(-mu / s))
        return np.exp(-0.5 * ((d[:, 0] - mu) / s) ** 2) / norm

    def falling(d, p):
        k = p["slope"]
        return k * np.exp(-k * d[:, 0]) / -math.expm1(-10.0 * k)

    result = tarnwex.splot(x.reshape(-1, 1), [peak, falling], shape_parameters=[
        tarnwex.ShapeParameter("mu", 1.5, 1.0, 9.0), tarnwex.ShapeParameter("sigma", 0.5, 0.1, 3.0),
        tarnwex.ShapeParameter("slope", 0.2, 0.01, 2.0)])
    assert result.success and result.shape_parameters["mu"] == 1.0
    assert math.isnan(result.shape_errors["mu"])
    errors = [*result.yield_errors, result.shape_errors["sigma"], result.shape_errors["slope"]]

    def nll(t):
        ns, nb, sigma, slope = t
        p = {"mu": 1.0, "sigma": sigma, "slope": slope}
        return ns + nb - np.sum(np.log(ns * peak(d, p) + nb * falling(d, p)))

    d = x.reshape(-1, 1)
    at = np.array([*result.yields, result.shape_parameters["sigma"], result.shape_parameters["slope"]])
    steps = np.array([1.0, 1.0, 1e-3, 1e-4])
    hessian = np.empty((4, 4))
    for i in range(4):
        for j in range(4):
            def moved(a, b):
                t = at.copy()
                t[i] += a * steps[i]
                t[j] += b * steps[j]
                return nll(t)
            hessian[i, j] = (moved(1, 1) - moved(1, -1) - moved(-1, 1) + moved(-1, -1)) / (4 * steps[i] * steps[j])
    np.testing.assert_allclose(errors, np.sqrt(np.diag(np.linalg.inv(hessian))), rtol=0.03)


def test_two_parameters_of_which_only_the_sum_is_determined_have_no_errors():
    data = make_data(5000, 1000, 3)

    def signal(d, p):
        return gaussian(d[:, 0], p["mu"], 0.3)

    def background(d, p):
        slope = p["s1"] + p["s2"]
        return (1.0 + slope * (d[:, 0] - 5.0) / 5.0) / (HIGH - LOW)

    result = tarnwex.splot(data, [signal, background], shape_parameters=[
        tarnwex.ShapeParameter("mu", 5.1, 4.0, 6.0), tarnwex.ShapeParameter("s1", 0.1, -0.4, 0.4),
        tarnwex.ShapeParameter("s2", 0.0, -0.4, 0.4)])
    assert result.success
    assert math.isnan(result.shape_errors["s1"]) and math.isnan(result.shape_errors["s2"])
    assert np.isfinite([*result.yield_errors, result.shape_errors["mu"]]).all()
