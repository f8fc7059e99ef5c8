"""Weights of any scale: multiplying every weight by c multiplies the yields
and sWeights by c, or the fit says that it cannot."""

import math

import numpy as np
import pytest

import tarnwex


def sample():
    rng = np.random.default_rng(1)
    x = np.concatenate([rng.normal(5.0, 0.5, 300), rng.uniform(0.0, 10.0, 700)])
    return np.clip(x, 0.01, 9.99).reshape(-1, 1)


def peak(data, parameters):
    return np.exp(-0.5 * ((data[:, 0] - 5.0) / 0.5) ** 2) / (0.5 * math.sqrt(2.0 * math.pi))


def flat(data, parameters):
    return np.full(len(data), 0.1)


@pytest.mark.parametrize("scale", [1e-8, 1e8])
def test_scaled_weights_scale_the_yields_and_sweights(scale):
    # Normalised weights (w / w.sum()) are uniformly small; unscaled
    # convergence tests once stopped such a fit at its start point.
    unit = tarnwex.splot(sample(), [peak, flat], weights=np.full(1000, 1.0))
    scaled = tarnwex.splot(sample(), [peak, flat], weights=np.full(1000, scale))
    assert scaled.success, scaled.message
    np.testing.assert_allclose(scaled.yields / scale, unit.yields, rtol=1e-6)
    np.testing.assert_allclose(scaled.sweights / scale, unit.sweights, rtol=1e-5, atol=1e-8)


@pytest.mark.parametrize("scale, word", [(1e-310, "small"), (1e-300, "small"), (1e300, "large")])
def test_weights_beyond_the_double_range_are_refused_by_name(scale, word):
    with pytest.raises(ValueError, match=f"event weights are too {word}"):
        tarnwex.splot(sample(), [peak, flat], weights=np.full(1000, scale))
