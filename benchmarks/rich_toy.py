"""The richer toy: 4 components and 6 free shape parameters on [0, 10].

Two narrow peaks (mean and width free each), a broad bump centred at 5
(width free) and an exponential background (slope free). Every density is
normalised on the range, so the fit is a proper extended likelihood.
"""

from __future__ import annotations

import math

import numpy as np

LOW, HIGH = 0.0, 10.0
N_EVENTS = 50_000
FRACTIONS = (0.2, 0.15, 0.25, 0.4)
BROAD_MEAN = 5.0
TRUE = {"mu_a": 3.0, "sigma_a": 0.4, "mu_b": 6.5, "sigma_b": 0.5, "sigma_c": 2.5, "slope": 0.3}
START = {"mu_a": 3.1, "sigma_a": 0.5, "mu_b": 6.4, "sigma_b": 0.6, "sigma_c": 2.2, "slope": 0.25}
BOUNDS = {"mu_a": (2.0, 4.0), "sigma_a": (0.1, 1.5), "mu_b": (5.5, 7.5), "sigma_b": (0.1, 1.5),
          "sigma_c": (1.0, 5.0), "slope": (0.05, 1.0)}
NAMES = list(TRUE)


def _phi(z: float) -> float:
    return 0.5 * (1.0 + math.erf(z / math.sqrt(2.0)))


def gauss(x, mu, sigma):
    """A Gaussian truncated to the range."""
    norm = sigma * math.sqrt(2.0 * math.pi) * (_phi((HIGH - mu) / sigma) - _phi((LOW - mu) / sigma))
    z = (x - mu) / sigma
    return np.exp(-0.5 * z * z) * (1.0 / norm)


def expo(x, slope):
    return np.exp(-slope * (x - LOW)) * (slope / (1.0 - math.exp(-slope * (HIGH - LOW))))


def densities(x, p: dict) -> list:
    """The four component densities at shape point p, in component order."""
    return [gauss(x, p["mu_a"], p["sigma_a"]), gauss(x, p["mu_b"], p["sigma_b"]),
            gauss(x, BROAD_MEAN, p["sigma_c"]), expo(x, p["slope"])]


def make_data(n_events: int = N_EVENTS, seed: int = 20240612) -> np.ndarray:
    rng = np.random.default_rng(seed)
    counts = [int(round(f * n_events)) for f in FRACTIONS[:-1]]
    counts.append(n_events - sum(counts))

    def truncated_normal(mu, sigma, n):
        out = rng.normal(mu, sigma, size=n)
        bad = (out < LOW) | (out > HIGH)
        while bad.any():
            out[bad] = rng.normal(mu, sigma, size=int(bad.sum()))
            bad = (out < LOW) | (out > HIGH)
        return out

    u = rng.random(counts[3])
    span = 1.0 - math.exp(-TRUE["slope"] * (HIGH - LOW))
    x = np.concatenate([truncated_normal(TRUE["mu_a"], TRUE["sigma_a"], counts[0]),
                        truncated_normal(TRUE["mu_b"], TRUE["sigma_b"], counts[1]),
                        truncated_normal(BROAD_MEAN, TRUE["sigma_c"], counts[2]),
                        LOW - np.log1p(-u * span) / TRUE["slope"]])
    rng.shuffle(x)
    return x.reshape(-1, 1)


def nll(x, yields, p: dict) -> float:
    """Extended NLL with unit weights, in the form tarnwex computes it."""
    d = sum(y * f for y, f in zip(yields, densities(x, p)))
    return float(np.sum(yields) - np.sum(np.log(np.maximum(d, 1e-300))))
