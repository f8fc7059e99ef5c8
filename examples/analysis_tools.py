"""sPlot with the analyst's own tools: ROOT file, DataFrame, numba-stats, hist.

The quickstart's model (toymodel.py), handled the way an analysis usually
handles its events:

1. The simulated events (mass, decay time, weight) are written to a ROOT file
   with uproot and read back into a pandas DataFrame.
2. The DataFrame goes to `splot` as `data` and its weight column as
   `weights`. The PDFs receive the events as a float64 NumPy array, not as
   the DataFrame: they find the mass by position, column 0.
3. The mass PDFs come from numba-stats (a truncated normal and a truncated
   exponential, both normalised over the fit range); the same fit with
   scipy.stats densities gives the same result.
4. The decay time is histogrammed with the sWeights in hist histograms of
   weighted storage (each bin's variance is its sum of squared sWeights),
   drawn in mplhep's style and compared bin by bin with the simulated truth.
5. The sWeights' key assumption, mass and decay time independent within each
   component, is checked on simulated samples of each component with
   Kendall's tau.

The weights: the second half of the data was recorded with a prescale of 2,
so every other event was dropped there and each event kept carries weight 2.

    pip install "tarnwex[tools]"
    python examples/analysis_tools.py [--events 20000] [--root events.root] [--output tools.png]
"""

import argparse
import time

import hist
import matplotlib.pyplot as plt
import mplhep
import numpy as np
import pandas as pd
import scipy.stats
import uproot
from numba_stats import truncexpon, truncnorm

import tarnwex
import toymodel

LO, HI = toymodel.MASS_RANGE
SIGNAL_FRACTION = 0.25
PRESCALE = 2.0
TIME_EDGES = np.linspace(0.0, 5.0, 11)


# numba-stats: compiled densities, truncated and normalised over [LO, HI].
def numba_signal(d, p):
    return truncnorm.pdf(d[:, 0], LO, HI, p["mean"], p["width"])


def numba_background(d, p):
    return truncexpon.pdf(d[:, 0], LO, HI, LO, 1.0 / p["slope"])


# scipy.stats: the same densities, truncation given in units of the scale.
def scipy_signal(d, p):
    mean, width = p["mean"], p["width"]
    return scipy.stats.truncnorm.pdf(d[:, 0], (LO - mean) / width, (HI - mean) / width, mean, width)


def scipy_background(d, p):
    scale = 1.0 / p["slope"]
    return scipy.stats.truncexpon.pdf(d[:, 0], (HI - LO) / scale, LO, scale)


def shape_parameters():
    # The exponential's scale is 1/slope, so the slope stays positive here.
    return [
        tarnwex.ShapeParameter("mean", 5.27, 5.2, 5.36),
        tarnwex.ShapeParameter("width", 0.03, 0.002, 0.1),
        tarnwex.ShapeParameter("slope", 1.0, 0.05, 20.0),
    ]


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=20_000, help="events before the prescale (default 20000)")
    parser.add_argument("--seed", type=int, default=7, help="random seed of the simulation")
    parser.add_argument("--root", default="events.root", help="the ROOT file written and read back")
    parser.add_argument("--output", default="tools.png", help="where to save the figure")
    return parser.parse_args()


def simulate(rng, n_events):
    """The recorded events as a DataFrame, with the true component of each."""
    n_signal, n_background = rng.poisson([SIGNAL_FRACTION * n_events, (1 - SIGNAL_FRACTION) * n_events])
    events, is_signal = toymodel.generate(rng, n_signal, n_background)
    second_half = rng.uniform(size=len(events)) < 0.5
    kept = ~second_half | (rng.uniform(size=len(events)) < 1.0 / PRESCALE)
    return pd.DataFrame({
        "mass": events[kept, 0],
        "time": events[kept, 1],
        "weight": np.where(second_half[kept], PRESCALE, 1.0),
        "is_signal": is_signal[kept],
    })


def round_trip(frame, path):
    """Writes the events as a TTree and reads them back as a DataFrame."""
    with uproot.recreate(path) as file:
        file["events"] = {name: column.to_numpy() for name, column in frame.items()}
    with uproot.open(path) as file:
        return file["events"].arrays(library="pd")


def fit(frame, pdfs):
    start = time.perf_counter()
    result = tarnwex.splot(frame[["mass", "time"]], pdfs, weights=frame["weight"], shape_parameters=shape_parameters())
    return result, time.perf_counter() - start


def compare_fits(first, second):
    """The largest difference of the two fits' values, in units of their errors."""
    values = [np.append(r.yields, list(r.shape_parameters.values())) for r in (first, second)]
    errors = np.append(first.yield_errors, list(first.shape_errors.values()))
    return np.max(np.abs(values[0] - values[1]) / errors)


def weighted_histograms(frame, sweights):
    """One decay-time histogram per component, filled with its sWeights."""
    histograms = []
    for column in range(sweights.shape[1]):
        h = hist.Hist(hist.axis.Regular(len(TIME_EDGES) - 1, TIME_EDGES[0], TIME_EDGES[-1], name="time",
                                        label="decay time [ps]"), storage=hist.storage.Weight())
        h.fill(time=frame["time"].to_numpy(), weight=sweights[:, column])
        histograms.append(h)
    return histograms


def truths(frame):
    """Expected decay-time counts per bin of each component's true weighted total."""
    signal = frame["is_signal"].to_numpy()
    weight = frame["weight"].to_numpy()
    return [toymodel.expected_counts(weight[mask].sum(), tau, TIME_EDGES)
            for mask, tau in ((signal, toymodel.TAU_SIGNAL), (~signal, toymodel.TAU_BACKGROUND))]


def chi2_per_ndf(h, expected):
    return np.sum((h.values() - expected) ** 2 / h.variances()) / len(expected)


def independence(rng, n_events=5_000):
    """Kendall's tau of mass and decay time in a simulated sample of each component."""
    samples = {"signal": toymodel.generate(rng, n_events, 0)[0], "background": toymodel.generate(rng, 0, n_events)[0]}
    return {name: scipy.stats.kendalltau(sample[:, 0], sample[:, 1]) for name, sample in samples.items()}


def save_figure(path, histograms, expected):
    plt.style.use(mplhep.style.ROOT)
    fig, axes = plt.subplots(1, 2, figsize=(16, 6.5), constrained_layout=True)
    for ax, h, counts, name in zip(axes, histograms, expected, toymodel.COMPONENTS):
        mplhep.histplot(h, ax=ax, histtype="errorbar", yerr=np.sqrt(h.variances()), color="k",
                        label=f"{name} sWeighted")
        mplhep.histplot(counts, TIME_EDGES, ax=ax, color="r", label=f"{name} simulated truth")
        ax.set_ylabel("sWeighted events / 0.5 ps")
        ax.legend()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main():
    args = parse_args()
    rng = np.random.default_rng(args.seed)
    frame = round_trip(simulate(rng, args.events), args.root)
    print(f"{len(frame)} events read back from {args.root} (TTree 'events', columns {', '.join(frame.columns)})")

    by_numba, numba_seconds = fit(frame, [numba_signal, numba_background])
    by_scipy, scipy_seconds = fit(frame, [scipy_signal, scipy_background])
    print(f"{'':<12}{'numba-stats':>14}{'scipy.stats':>14}{'error':>10}")
    for k, name in enumerate(toymodel.COMPONENTS):
        print(f"{name:<12}{by_numba.yields[k]:>14.2f}{by_scipy.yields[k]:>14.2f}{by_numba.yield_errors[k]:>10.2f}")
    for name, value in by_numba.shape_parameters.items():
        print(f"{name:<12}{value:>14.6f}{by_scipy.shape_parameters[name]:>14.6f}{by_numba.shape_errors[name]:>10.6f}")
    print(f"{'status':<12}{by_numba.message} / {by_scipy.message}")
    print(f"{'time':<12}{numba_seconds:>13.3f}s{scipy_seconds:>13.3f}s")
    print(f"numba-stats and scipy.stats fits differ by at most {compare_fits(by_numba, by_scipy):.1e} errors")

    histograms = weighted_histograms(frame, by_numba.sweights)
    expected = truths(frame)
    for h, counts, name in zip(histograms, expected, toymodel.COMPONENTS):
        print(f"{name} decay time, sWeighted vs simulated truth: chi2/ndf = {chi2_per_ndf(h, counts):.2f} "
              f"(ndf {len(counts)})")

    print("independence of mass and decay time in simulated samples (the sWeights' assumption):")
    for name, (tau, p_value) in independence(rng).items():
        print(f"  {name}: Kendall's tau {tau:+.4f} (p-value {p_value:.2f})")

    save_figure(args.output, histograms, expected)
    print(f"figure: {args.output}")


if __name__ == "__main__":
    main()
