"""Toy-MC validation: are the fitted yields unbiased and their errors right?

Generates many toy samples of the quickstart model (Poisson-fluctuated
signal and background counts around fixed expectations), fits each one with
`splot`, and reports

- the pulls (fitted - expected) / error of the two yields and the three shape
  parameters: their mean (0 for an unbiased fit) and width (1 when the errors
  are right), each with its statistical uncertainty;
- the sum rules of the sWeights: for each component, the sum over events of
  its sWeights against its fitted yield, and for each event, the sum over
  components of its sWeights against 1;
- the number of fits that did not converge, and the time per fit;

as a Markdown table, and saves a figure of the pull distributions. A second,
small-signal study fits toys with a few signal events on a large background
(150 in 20,000 by default, shapes held at their true values) and reports the
pulls of the two yields: their widths show whether the yield errors are
right where the signal is small.

Every toy has a random stream of its own, spawned from `--seed`, and the toys
run in a pool of `--jobs` processes (default: one per core): any `--jobs`
prints the same table, only the time lines differ. A worker returns the fit's
result object itself, which pickles; the pulls are read from it here. With
tqdm installed (`pip install tqdm`), a progress bar follows the fits when the
output is a terminal or a notebook.

    python examples/validation.py [--toys 200] [--events 2000] [--output pulls.png] [--jobs N]
                                  [--small-toys 200] [--small-signal 150] [--small-events 20000]

The tests run it with 3 toys.
"""

import argparse
import concurrent.futures
import contextlib
import functools
import math
import multiprocessing
import os
import sys
import time

import numpy as np

import tarnwex
import toymodel

SIGNAL_FRACTION = 0.25


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--toys", type=int, default=200, help="number of toy samples (default 200)")
    parser.add_argument("--events", type=int, default=2_000, help="expected events per toy (default 2000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed")
    parser.add_argument("--output", default="pulls.png", help="where to save the pull figure")
    parser.add_argument("--small-toys", type=int, default=200, help="toys of the small-signal study (default 200)")
    parser.add_argument("--small-signal", type=float, default=150.0, help="expected signal events there (default 150)")
    parser.add_argument("--small-events", type=int, default=20_000, help="expected events there (default 20000)")
    parser.add_argument("--jobs", type=int, default=available_cores(),
                        help=f"processes that fit toys (default: all cores, here {available_cores()})")
    return parser.parse_args()


def available_cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def toy_seeds(seed, n_toys, n_small_toys):
    """One independent seed per toy, for the main and the small-signal study."""
    main, small = np.random.SeedSequence(seed).spawn(2)
    return main.spawn(n_toys), small.spawn(n_small_toys)


def toy_pool(jobs):
    """A pool of `jobs` worker processes, or None (as a context) to fit here."""
    if jobs == 1:
        return contextlib.nullcontext()
    # Fresh interpreters rather than forks: the parent's threads (the BLAS
    # pool) are not carried into the workers.
    return concurrent.futures.ProcessPoolExecutor(max_workers=jobs, mp_context=multiprocessing.get_context("spawn"))


def watched():
    """Whether someone watches the output: a terminal, or a notebook's kernel."""
    if sys.stderr is not None and sys.stderr.isatty():
        return True
    shell = sys.modules.get("IPython")
    shell = shell.get_ipython() if shell is not None else None
    return type(shell).__name__ == "ZMQInteractiveShell"


def progress(iterable, total, description):
    """The iterable with a progress bar where someone watches and tqdm is installed."""
    if not watched():
        return iterable
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return iterable
    return tqdm(iterable, total=total, desc=description, unit="fit")


def map_toys(pool, function, seeds, description="toys", **arguments):
    """function(seed, **arguments) for every seed, in order, on the pool."""
    task = functools.partial(function, **arguments)
    if pool is None:
        fits = map(task, seeds)
    else:
        fits = pool.map(task, seeds, chunksize=max(1, len(seeds) // 32))
    return list(progress(fits, len(seeds), description))


def fit_toy(seed, expected):
    """Fits one toy: its result and the fit's time in seconds, or the text of what it raised."""
    rng = np.random.default_rng(seed)
    n_signal, n_background = rng.poisson(expected)
    data, _ = toymodel.generate(rng, n_signal, n_background)
    start = time.perf_counter()
    try:
        result = tarnwex.splot(data, toymodel.PDFS, shape_parameters=toymodel.shape_parameters())
    except (ValueError, tarnwex.SPlotError) as exc:
        return f"toy with {len(data)} events raised {exc}", 0.0
    return result, time.perf_counter() - start


def summarise(fit, expected):
    """A toy's pulls and sum-rule deviations from its result, or what it raised."""
    result, seconds = fit
    if isinstance(result, str):
        return {"raised": result}
    truth = list(expected) + [toymodel.TRUE_SHAPES[name] for name in result.shape_parameters]
    values = list(result.yields) + list(result.shape_parameters.values())
    errors = list(result.yield_errors) + list(result.shape_errors.values())
    sweights = result.sweights
    return {
        "pulls": [(v - t) / e for v, t, e in zip(values, truth, errors)],
        "component_sums": np.abs(sweights.sum(axis=0) / result.yields - 1.0),
        "event_sums": np.max(np.abs(sweights.sum(axis=1) - 1.0)),
        "error_ratio": result.yield_errors / np.sqrt(np.diag(result.covariance)),
        "success": result.success,
        "seconds": seconds,
        "names": list(result.shape_parameters),
    }


def fixed_shape(pdf):
    """The PDF with its shape parameters held at their true values."""
    return lambda data, params: pdf(data, toymodel.TRUE_SHAPES)


def run_small_toy(seed, expected):
    """Yields-only fit of one small-signal toy: its yield pulls, or None if it failed."""
    rng = np.random.default_rng(seed)
    n_signal, n_background = rng.poisson(expected)
    data, _ = toymodel.generate(rng, n_signal, n_background)
    result = tarnwex.splot(data, [fixed_shape(pdf) for pdf in toymodel.PDFS], initial_yields=list(expected))
    if not result.success or np.isnan(result.yield_errors).any():
        return None
    return (result.yields - expected) / result.yield_errors, bool(result.yields[0] < 1.0)


def small_signal_study(pool, seeds, args):
    """Pulls of the yields of yields-only fits of a small signal on a large background."""
    expected = np.array([args.small_signal, args.small_events - args.small_signal])
    fits = map_toys(pool, run_small_toy, seeds, description="small-signal toys", expected=expected)
    return [fit for fit in fits if fit is not None]


def small_signal_report(fits, args):
    failed = args.small_toys - len(fits)
    pulls = np.array([pull for pull, _ in fits])
    at_bound = sum(bound for _, bound in fits)
    print(f"\nsmall signal: {args.small_toys} toys of {args.small_signal:g} signal events in "
          f"{args.small_events} (shapes fixed)\n")
    print("| parameter | pull mean | pull width |")
    print("|---|---|---|")
    for column, name in enumerate(toymodel.COMPONENTS):
        mean, mean_err, width, width_err = mean_and_width(pulls[:, column])
        print(f"| {name} yield ({args.small_signal:g} signal in {args.small_events}) "
              f"| {mean:+.3f} ± {mean_err:.3f} | {width:.3f} ± {width_err:.3f} |")
    print(f"\n- signal yield at its lower bound: {at_bound} of {len(pulls)} fits")
    print(f"- not converged or without errors: {failed} of {args.small_toys} fits")


def mean_and_width(pulls):
    n = len(pulls)
    mean, width = np.mean(pulls), np.std(pulls, ddof=1) if n > 1 else float("nan")
    return mean, width / math.sqrt(n), width, width / math.sqrt(2 * (n - 1)) if n > 1 else float("nan")


def report(toys, args):
    names = [f"{c} yield" for c in toymodel.COMPONENTS] + toys[0]["names"]
    pulls = np.array([t["pulls"] for t in toys])
    print(f"{len(toys)} toys of {args.events} expected events (seed {args.seed})\n")
    print("| parameter | pull mean | pull width |")
    print("|---|---|---|")
    for column, name in enumerate(names):
        mean, mean_err, width, width_err = mean_and_width(pulls[:, column])
        print(f"| {name} | {mean:+.3f} ± {mean_err:.3f} | {width:.3f} ± {width_err:.3f} |")

    component_sums = np.array([t["component_sums"] for t in toys])
    ratio = np.array([t["error_ratio"] for t in toys])
    seconds = np.array([t["seconds"] for t in toys])
    print()
    for k, name in enumerate(toymodel.COMPONENTS):
        print(f"- sum of {name} sWeights / {name} yield: largest |ratio - 1| {component_sums[:, k].max():.1e}")
    print(f"- per event, sum of sWeights over components: largest |sum - 1| {max(t['event_sums'] for t in toys):.1e}")
    for k, name in enumerate(toymodel.COMPONENTS):
        print(f"- {name}: yield_errors / sqrt(diag(covariance)), mean over toys {ratio[:, k].mean():.3f}")
    print(f"- converged: {sum(t['success'] for t in toys)} of {len(toys)} fits")
    print(f"- time per fit: median {np.median(seconds) * 1000:.0f} ms, largest {seconds.max() * 1000:.0f} ms")
    return names, pulls


def save_figure(path, names, pulls):
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(names), figsize=(3.4 * len(names), 3.4), constrained_layout=True)
    edges = np.linspace(-4.0, 4.0, 17)
    grid = np.linspace(-4.0, 4.0, 200)
    for ax, name, column in zip(axes, names, pulls.T):
        mean, _, width, _ = mean_and_width(column)
        counts, _, _ = ax.hist(column, edges, histtype="step", color="k", label=f"toys: μ={mean:+.2f}, σ={width:.2f}")
        norm = len(column) * (edges[1] - edges[0])
        ax.set_ylim(0.0, 1.45 * max(counts.max(), norm / math.sqrt(2 * math.pi)))
        ax.plot(grid, norm * np.exp(-0.5 * grid**2) / math.sqrt(2 * math.pi), "r-", label="N(0, 1)")
        ax.set_xlabel(f"pull of {name}")
        ax.set_ylabel("toys")
        ax.legend(fontsize="small", loc="upper left")
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    args = parse_args()
    start = time.perf_counter()
    seeds, small_seeds = toy_seeds(args.seed, args.toys, args.small_toys)
    expected = (SIGNAL_FRACTION * args.events, (1 - SIGNAL_FRACTION) * args.events)
    with toy_pool(args.jobs) as pool:
        fits = [summarise(fit, expected) for fit in map_toys(pool, fit_toy, seeds, expected=expected)]
        small_fits = small_signal_study(pool, small_seeds, args) if args.small_toys > 1 else None
    for fit in fits:
        if "raised" in fit:
            print(fit["raised"])
    toys = [fit for fit in fits if "raised" not in fit]
    if len(toys) < args.toys:
        print(f"{args.toys - len(toys)} of {args.toys} fits raised")
    if not toys:
        raise SystemExit("no toy fit succeeded")
    names, pulls = report(toys, args)
    save_figure(args.output, names, pulls)
    if small_fits is not None:
        small_signal_report(small_fits, args)
    print(f"\nfigure: {args.output}")
    print(f"time: {time.perf_counter() - start:.1f} s on {args.jobs} process{'es' if args.jobs > 1 else ''}")


if __name__ == "__main__":
    main()
