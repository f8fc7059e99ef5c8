"""Shared densities and samples for the tests of the tarnwex module."""

import math

import numpy as np
import pytest

LOW, HIGH = 0.0, 10.0


def assert_argument_note(exception, parameter):
    """The note naming the argument whose conversion failed, where the
    interpreter has exception notes (3.11 on); elsewhere the exception must
    reach the caller exactly as the conversion raised it."""
    if hasattr(BaseException, "add_note"):
        assert exception.__notes__ == [f"while processing '{parameter}'"]
    else:
        assert not hasattr(exception, "__notes__")


def normal_cdf(z):
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


def gaussian(data, parameters):
    """Gaussian in column 0, normalised over [LOW, HIGH]."""
    mu, sigma = parameters["mu"], parameters["sigma"]
    scale = sigma * math.sqrt(2.0)
    norm = 0.5 * (math.erf((HIGH - mu) / scale) - math.erf((LOW - mu) / scale))
    return np.exp(-0.5 * ((data[:, 0] - mu) / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi) * norm)


def exponential(data, parameters):
    """Falling exponential of slope 0.3 in column 0, normalised over [LOW, HIGH]."""
    slope = 0.3
    norm = (math.exp(-slope * LOW) - math.exp(-slope * HIGH)) / slope
    return np.exp(-slope * data[:, 0]) / norm


def flat(data, parameters):
    return np.full(data.shape[0], 1.0 / (HIGH - LOW))


def two_component_sample(n_signal, n_background, seed, mu=5.0, sigma=0.5):
    """Gaussian signal over an exponential background, both inside [LOW, HIGH]."""
    rng = np.random.default_rng(seed)
    signal = rng.normal(mu, sigma, 4 * n_signal)
    signal = signal[(signal >= LOW) & (signal <= HIGH)][:n_signal]
    background = rng.exponential(1.0 / 0.3, 4 * n_background)
    background = background[(background >= LOW) & (background <= HIGH)][:n_background]
    return np.concatenate([signal, background])[:, None]


@pytest.fixture(scope="session")
def small_sample():
    return two_component_sample(300, 200, seed=7)
