"""The toy problem every contender fits: data, component densities, NLL, sWeights.

One discriminating feature on [0, 10]: a Gaussian signal (mean and width free
or fixed) over an exponential background with a fixed slope. Every contender
gets the same arrays and the same vectorised NumPy densities; only the way
they are wrapped differs, so the comparison measures the fitting machinery.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass

import numpy as np

LOW, HIGH = 0.0, 10.0
TRUE_MU, TRUE_SIGMA = 5.0, 0.7
SLOPE = 0.4
SIGNAL_FRACTION = 0.3

# Start point and bounds shared by all contenders.
START_MU, START_SIGMA = 4.8, 0.8
MU_BOUNDS = (3.0, 7.0)
SIGMA_BOUNDS = (0.2, 2.0)

# The likelihood's floor for a non-positive mixture density.
DENSITY_FLOOR = 1e-300

_INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)
_EXP_NORM = SLOPE / (1.0 - math.exp(-SLOPE * (HIGH - LOW)))


def gauss(x, mu, sigma):
    # The Gaussian is 7 widths inside the range, so truncation is below 1e-11.
    z = (x - mu) / sigma
    return np.exp(-0.5 * z * z) * (_INV_SQRT_2PI / sigma)


def expo(x):
    return np.exp(-SLOPE * (x - LOW)) * _EXP_NORM


# Every N-sized NumPy temporary gets fresh pages from the kernel, and
# faulting them in costs more than the arithmetic (at 10^5 events about three
# quarters of an NLL call): a careful user writes the per-call work into
# buffers allocated once, with `out=`.

def scaled_gauss_into(x, mu, sigma, scale, out):
    """scale * gauss(x, mu, sigma), written into `out` without a temporary."""
    np.subtract(x, mu, out=out)
    np.square(out, out=out)
    np.multiply(out, -0.5 / (sigma * sigma), out=out)
    np.exp(out, out=out)
    np.multiply(out, scale * _INV_SQRT_2PI / sigma, out=out)
    return out


class CallCounter:
    """Counts and times full evaluations of the component densities, whoever asks."""

    def __init__(self):
        self.calls = 0
        self.seconds = 0.0

    def gauss(self, x, mu, sigma):
        start = time.perf_counter()
        values = gauss(x, mu, sigma)
        self._count(start)
        return values

    def expo(self, x):
        start = time.perf_counter()
        values = expo(x)
        self._count(start)
        return values

    def scaled_gauss_into(self, x, mu, sigma, scale, out):
        start = time.perf_counter()
        scaled_gauss_into(x, mu, sigma, scale, out)
        self._count(start)
        return out

    def _count(self, start):
        self.calls += 1
        self.seconds += time.perf_counter() - start


def make_data(n_events: int, seed: int = 20240611, signal_fraction: float = SIGNAL_FRACTION) -> np.ndarray:
    """n_events values on [LOW, HIGH], as an (n_events, 1) float64 array."""
    rng = np.random.default_rng(seed)
    n_signal = int(round(signal_fraction * n_events))
    n_background = n_events - n_signal
    signal = rng.normal(TRUE_MU, TRUE_SIGMA, size=n_signal)
    outside = (signal < LOW) | (signal > HIGH)
    while outside.any():
        signal[outside] = rng.normal(TRUE_MU, TRUE_SIGMA, size=int(outside.sum()))
        outside = (signal < LOW) | (signal > HIGH)
    # Inverse CDF of the exponential truncated to the range.
    u = rng.random(n_background)
    span = 1.0 - math.exp(-SLOPE * (HIGH - LOW))
    background = LOW - np.log1p(-u * span) / SLOPE
    x = np.concatenate([signal, background])
    rng.shuffle(x)
    return x.reshape(-1, 1)


@dataclass(frozen=True)
class FitPoint:
    """Where a contender ended: yields in component order and the shape values."""

    yields: np.ndarray
    mu: float
    sigma: float


def densities(x: np.ndarray, mu: float, sigma: float) -> np.ndarray:
    """The K x N density table (signal, background)."""
    return np.vstack([gauss(x, mu, sigma), expo(x)])


def nll(x: np.ndarray, point: FitPoint) -> float:
    """Extended NLL with unit weights, in the form the fit core computes it."""
    f = densities(x, point.mu, point.sigma)
    d = point.yields[0] * f[0] + point.yields[1] * f[1]
    return float(np.sum(point.yields) - np.sum(np.log(np.maximum(d, DENSITY_FLOOR))))


def numpy_sweights(f: np.ndarray, yields: np.ndarray) -> np.ndarray:
    """Classic sWeights from a K x N density table: (V f)_j / d per event."""
    d = yields @ f
    information = (f / d) @ (f / d).T
    covariance = np.linalg.inv(information)
    return ((covariance @ f) / d).T


def fast_sweights(f: np.ndarray, yields: np.ndarray) -> np.ndarray:
    """The same sWeights with f / d formed once, in place: `f` is overwritten.

    Returns an N x K view (the transpose of a K x N array).
    """
    d = yields @ f
    np.divide(f, d, out=f)
    covariance = np.linalg.inv(f @ f.T)
    return (covariance @ f).T
