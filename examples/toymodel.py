"""The toy model shared by the examples: a mass peak on a falling background.

Column 0 of the data is a mass-like discriminating variable in MASS_RANGE:
signal is a Gaussian peak (shape parameters ``mean`` and ``width``),
background an exponential, proportional to exp(slope * m) (shape parameter
``slope``, negative for a falling spectrum). Column 1 is a decay time,
independent of the mass within each component: exponential with lifetime
TAU_SIGNAL for signal and TAU_BACKGROUND for background. The PDFs read only
column 0; the decay time is what the sWeights unfold.

PDFS are the built-in densities of tarnwex_pdfs, normalised over MASS_RANGE
for us. signal_pdf and background_pdf are the same two densities written by
hand in NumPy, as a custom shape would be.
"""

import math

import numpy as np

import tarnwex
import tarnwex_pdfs

MASS_RANGE = (5.0, 5.6)
TRUE_SHAPES = {"mean": 5.28, "width": 0.02, "slope": -2.0}
TAU_SIGNAL = 1.5
TAU_BACKGROUND = 0.4


def signal_pdf(data, params):
    """Gaussian in column 0, normalised over MASS_RANGE."""
    mean, width = params["mean"], params["width"]
    lo, hi = MASS_RANGE
    scale = width * math.sqrt(2.0)
    inside = 0.5 * (math.erf((hi - mean) / scale) - math.erf((lo - mean) / scale))
    z = (data[:, 0] - mean) / width
    return np.exp(-0.5 * z * z) / (width * math.sqrt(2.0 * math.pi) * inside)


def background_pdf(data, params):
    """exp(slope * m) in column 0, normalised over MASS_RANGE."""
    slope = params["slope"]
    lo, hi = MASS_RANGE
    span = hi - lo
    # expm1 keeps the normalisation exact as the slope passes through zero.
    norm = span if slope * span == 0.0 else math.expm1(slope * span) / slope
    return np.exp(slope * (data[:, 0] - lo)) / norm


# Each declares the shape parameters it reads, as the built-ins do.
signal_pdf.__tarnwex_parameters__ = ("mean", "width")
background_pdf.__tarnwex_parameters__ = ("slope",)

PDFS = [
    tarnwex_pdfs.Gaussian(0, MASS_RANGE, mu="mean", sigma="width"),
    tarnwex_pdfs.Exponential(0, MASS_RANGE, slope="slope"),
]
NUMPY_PDFS = [signal_pdf, background_pdf]
COMPONENTS = ["signal", "background"]


def shape_parameters():
    """Start values deliberately away from the truth, with physical bounds."""
    return [
        tarnwex.ShapeParameter("mean", 5.27, 5.2, 5.36),
        tarnwex.ShapeParameter("width", 0.03, 0.002, 0.1),
        tarnwex.ShapeParameter("slope", -1.0, -20.0, 20.0),
    ]


def peak_masses(rng, n, mean, width):
    """n masses from a Gaussian truncated to MASS_RANGE."""
    lo, hi = MASS_RANGE
    out = np.empty(0)
    while out.size < n:
        draw = rng.normal(mean, width, 2 * (n - out.size) + 16)
        out = np.concatenate([out, draw[(draw >= lo) & (draw <= hi)]])
    return out[:n]


def _background_masses(rng, n):
    lo, hi = MASS_RANGE
    slope = TRUE_SHAPES["slope"]
    u = rng.uniform(size=n)
    # Inverse of the truncated exponential's cumulative distribution.
    return lo + np.log1p(u * math.expm1(slope * (hi - lo))) / slope


def generate(rng, n_signal, n_background):
    """Events as an (n, 2) array (mass, decay time), shuffled, and a signal mask."""
    signal_masses = peak_masses(rng, n_signal, TRUE_SHAPES["mean"], TRUE_SHAPES["width"])
    signal = np.column_stack([signal_masses, rng.exponential(TAU_SIGNAL, n_signal)])
    background = np.column_stack(
        [_background_masses(rng, n_background), rng.exponential(TAU_BACKGROUND, n_background)]
    )
    data = np.concatenate([signal, background])
    is_signal = np.concatenate([np.ones(n_signal, bool), np.zeros(n_background, bool)])
    order = rng.permutation(len(data))
    return np.ascontiguousarray(data[order]), is_signal[order]


def expected_counts(n_events, tau, edges):
    """Events of an exponential decay-time distribution expected in each bin."""
    return n_events * -np.diff(np.exp(-np.asarray(edges) / tau))
