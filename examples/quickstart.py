"""A first sPlot: unfold a decay-time distribution with sWeights from a mass fit.

A toy sample (fixed seed) has a Gaussian signal peak on an exponential
background in mass (column 0) and an independent decay time (column 1) with
different lifetimes for signal and background. The fit sees only the mass:
`splot` fits the two yields and the three shape parameters (mean, width,
slope) jointly, then gives every event a signal and a background sWeight.
Histogramming the decay time with those sWeights recovers each component's
own decay-time distribution, which the script draws against the truth.

    python examples/quickstart.py [--events N] [--output FILE.png]

The PDFs live in toymodel.py next to this file.
"""

import argparse
import time

import numpy as np

import tarnwex
import toymodel

SIGNAL_FRACTION = 0.25


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=20_000, help="number of events (default 20000)")
    parser.add_argument("--output", default="quickstart.png", help="where to save the figure")
    parser.add_argument("--seed", type=int, default=2024, help="random seed of the toy sample")
    return parser.parse_args()


def print_table(result, seconds, n_signal, n_background):
    generated = [n_signal, n_background]
    print(f"{'component':<12}{'yield':>12}{'error':>10}{'generated':>12}")
    for name, value, error, truth in zip(toymodel.COMPONENTS, result.yields, result.yield_errors, generated):
        print(f"{name:<12}{value:>12.1f}{error:>10.1f}{truth:>12d}")
    print(f"{'shape':<12}{'value':>12}{'error':>10}{'true':>12}")
    for name, value in result.shape_parameters.items():
        error = result.shape_errors[name]
        print(f"{name:<12}{value:>12.5f}{error:>10.5f}{toymodel.TRUE_SHAPES[name]:>12g}")
    print(f"status       {result.message} (success={result.success})")
    print(
        f"evaluations  objective {result.objective_evaluations}, "
        f"gradient {result.gradient_evaluations}, hessian {result.hessian_evaluations}"
    )
    print(f"minimum NLL  {result.minimum_nll:.6f}")
    print(f"time         {seconds:.3f} s")


def draw_mass(ax, data, result):
    lo, hi = toymodel.MASS_RANGE
    edges = np.linspace(lo, hi, 61)
    counts, _ = np.histogram(data[:, 0], edges)
    centres = 0.5 * (edges[:-1] + edges[1:])
    ax.errorbar(centres, counts, yerr=np.sqrt(counts), fmt="k.", label="toy data")

    grid = np.linspace(lo, hi, 600)
    grid_data = np.column_stack([grid, np.zeros_like(grid)])
    bin_width = edges[1] - edges[0]
    total = np.zeros_like(grid)
    for name, pdf, fitted, style in zip(toymodel.COMPONENTS, toymodel.PDFS, result.yields, ["r--", "b:"]):
        curve = fitted * pdf(grid_data, result.shape_parameters) * bin_width
        total += curve
        ax.plot(grid, curve, style, label=f"{name} (fit)")
    ax.plot(grid, total, "g-", label="sum (fit)")
    ax.set_xlabel("mass [GeV]")
    ax.set_ylabel(f"events / {bin_width * 1000:.0f} MeV")
    ax.set_title("(a) discriminating variable: fit")
    ax.legend()


def draw_decay_time(ax, data, sweights, n_true, tau, name, colour, label):
    edges = np.linspace(0.0, 6.0, 31)
    centres = 0.5 * (edges[:-1] + edges[1:])
    content, _ = np.histogram(data[:, 1], edges, weights=sweights)
    variance, _ = np.histogram(data[:, 1], edges, weights=sweights**2)
    ax.errorbar(centres, content, yerr=np.sqrt(variance), fmt=".", color=colour, label=f"{name} sWeighted")
    ax.stairs(toymodel.expected_counts(n_true, tau, edges), edges, color="k", label=f"{name} true (τ = {tau:g} ps)")
    ax.axhline(0.0, color="grey", lw=0.5)
    ax.set_xlabel("decay time [ps]")
    ax.set_ylabel(f"sWeighted events / {edges[1] - edges[0]:g} ps")
    ax.set_title(f"{label} control variable: {name}")
    ax.legend()


def save_figure(path, data, result, n_signal, n_background):
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(16, 4.8), constrained_layout=True)
    draw_mass(axes[0], data, result)
    draw_decay_time(axes[1], data, result.sweights[:, 0], n_signal, toymodel.TAU_SIGNAL, "signal", "r", "(b)")
    draw_decay_time(
        axes[2], data, result.sweights[:, 1], n_background, toymodel.TAU_BACKGROUND, "background", "b", "(c)"
    )
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    args = parse_args()
    rng = np.random.default_rng(args.seed)
    n_signal = round(SIGNAL_FRACTION * args.events)
    n_background = args.events - n_signal
    data, _ = toymodel.generate(rng, n_signal, n_background)

    start = time.perf_counter()
    result = tarnwex.splot(data, toymodel.PDFS, shape_parameters=toymodel.shape_parameters())
    seconds = time.perf_counter() - start

    print(f"{len(data)} events, seed {args.seed}")
    print_table(result, seconds, n_signal, n_background)
    save_figure(args.output, data, result, n_signal, n_background)
    print(f"figure       {args.output}")


if __name__ == "__main__":
    main()
