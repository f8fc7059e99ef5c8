"""tarnwex against the fastest workflow a careful user writes with each peer.

    python benchmarks/fastest.py [--quick] [--no-roofit]

Every contender computes the components without a free parameter once, before
its fit (contenders.run_tarnwex_careful, run_iminuit_fastest, run_roofit).
The contenders of one repeat run back to back in a rotating order in this one
process, after one unmeasured warm-up run each; a ratio is the median of the
per-repeat ratios. Writes benchmarks/FASTEST.md.
"""

from __future__ import annotations

import argparse
import functools
import gc
import os
import statistics
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import contenders  # noqa: E402
import rich_contenders  # noqa: E402
import rich_toy  # noqa: E402
import toy  # noqa: E402

TARNWEX = "tarnwex"
TARNWEX_UNDECLARED = "tarnwex, PDFs undeclared"
IMINUIT = "iminuit, hand-written NumPy NLL"
ROOFIT = "RooFit (cpu backend, Minuit2 + Hesse) + RooStats::SPlot"
RUNNERS = {TARNWEX: contenders.run_tarnwex_careful,
           TARNWEX_UNDECLARED: functools.partial(contenders.run_tarnwex_careful, declared=False),
           IMINUIT: contenders.run_iminuit_fastest,
           ROOFIT: contenders.run_roofit}
# (label, events, shapes, signal fraction); start yields N/2 each
CASES = [(f"10^{e}, {'mean and width free' if s else 'yields only'}", 10**e, s, toy.SIGNAL_FRACTION)
         for e in (4, 5, 6, 7) for s in (False, True)]
CASES.append(("10^6, 10 % signal, mean and width free", 10**6, True, 0.1))
REPEATS = {10**4: 7, 10**5: 5, 10**6: 3, 10**7: 2}
# The rich model of benchmarks/rich_toy.py: every component has a free
# parameter, so no contender has a component to compute once; iminuit's
# NLL computes the four densities per call into buffers allocated once, as a
# careful user writes it.
RICH_RUNNERS = {TARNWEX: rich_contenders.run_tarnwex,
                TARNWEX_UNDECLARED: functools.partial(rich_contenders.run_tarnwex, declared=False),
                IMINUIT: rich_contenders.run_iminuit_fastest,
                ROOFIT: rich_contenders.run_roofit}
RICH_CASES = [("5·10^4, 4 components, 6 shapes", 50_000), ("10^6, 4 components, 6 shapes", 10**6)]
RICH_REPEATS = {50_000: 5, 10**6: 2}


def interleaved(run, names, repeats):
    """Runs `run(name)` `repeats` times per contender in a rotating order; seconds and last runs."""
    seconds = {name: [] for name in names}
    runs = {}
    for r in range(repeats):
        for name in names[r % len(names):] + names[:r % len(names)]:
            gc.collect()
            runs[name] = run(name)
            seconds[name].append(runs[name].seconds)
    return seconds, runs


def cells_of(label, names, seconds, runs, yields, nll):
    """Per contender: median time, median ratio, yield and sWeight differences, NLL difference."""
    ref = runs[TARNWEX]
    sigma = ref.notes["splot_errors"]
    cells = {}
    for name in names:
        ratios = [a / b for a, b in zip(seconds[TARNWEX], seconds[name])]
        run = runs[name]
        cells[name] = (statistics.median(seconds[name]), statistics.median(ratios),
                       float(np.max(np.abs(yields(run) - yields(ref)) / sigma)),
                       float(np.max(np.abs(run.sweights - ref.sweights))), nll(run) - nll(ref))
    print(f"  {label}: " + ", ".join(f"{k} {v[0]:.4f} s" for k, v in cells.items()), flush=True)
    return cells


def measure(label, n, shapes, fraction, names, repeats):
    data = toy.make_data(n, signal_fraction=fraction)
    for name in names:  # warm-up: imports, JIT and first-call costs stay out
        RUNNERS[name](toy.make_data(1000, signal_fraction=fraction), shapes)
    seconds, runs = interleaved(lambda name: RUNNERS[name](data, shapes), names, repeats)
    return cells_of(label, names, seconds, runs, lambda run: run.point.yields,
                    lambda run: toy.nll(data[:, 0], run.point)), runs


def measure_rich(label, n, names, repeats):
    data = rich_toy.make_data(n)
    for name in names:
        RICH_RUNNERS[name](rich_toy.make_data(1000))
    seconds, runs = interleaved(lambda name: RICH_RUNNERS[name](data), names, repeats)
    return cells_of(label, names, seconds, runs, lambda run: run.yields,
                    lambda run: rich_toy.nll(data[:, 0], run.yields, run.shapes)), runs


def table_row(label, names, cells, runs):
    t, u, i = cells[TARNWEX], cells[TARNWEX_UNDECLARED], cells[IMINUIT]
    # The undeclared fit's share of iminuit's time, from the two medians.
    row = f"| {label} | {t[0]:.4f} | {i[0]:.4f} | {i[1]:.2f} | {u[0]:.4f} | {i[1] / u[1]:.2f} |"
    if ROOFIT in names:
        f = cells[ROOFIT]
        row += f" {f[0]:.3f} | {f[1]:.2f} |"
    others = [cells[k] for k in names if k != TARNWEX]
    return row + (f" {runs[TARNWEX].pdf_calls} / {runs[IMINUIT].pdf_calls} "
                  f"| {max(c[2] for c in others):.2g} "
                  f"| {max(c[3] for c in others):.2g} "
                  f"| {' / '.join(f'{c[4]:+.2g}' for c in others)} |")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-roofit", action="store_true")
    args = parser.parse_args()
    names = [TARNWEX, TARNWEX_UNDECLARED, IMINUIT] + ([] if args.no_roofit else [ROOFIT])
    load = os.getloadavg()
    lines = ["# tarnwex against the fastest workflows", "",
             "Written by `benchmarks/fastest.py`. Toy of benchmarks/toy.py (Gaussian signal on an "
             "exponential background over [0, 10]); the fixed components are computed once in every "
             "contender; start yields N/2 each. The rich model of benchmarks/rich_toy.py (three "
             "Gaussians on an exponential, six free shape parameters, start yields N/4 each) "
             "has no fixed component. tarnwex's PDFs declare the shape parameters they depend "
             "on (`__tarnwex_parameters__`), as a careful user writes them; the undeclared columns "
             "run the same PDFs without the declaration. Times cover the fit, its errors and the sWeights. "
             f"Load average before the run: {load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}.", "",
             f"| fit | {TARNWEX} [s] | {IMINUIT} [s] | ratio | {TARNWEX_UNDECLARED} [s] | ratio |"
             + (f" {ROOFIT} [s] | ratio |" if ROOFIT in names else "")
             + " PDF calls tarnwex / iminuit | max yield diff / σ | max sWeight diff"
             " | NLL − tarnwex's, " + " / ".join("undeclared" if n == TARNWEX_UNDECLARED else n.split(",")[0].split(" (")[0]
                                           for n in names[1:])
             + " |",
             "|---|---:|---:|---:|---:|---:|" + ("---:|---:|" if ROOFIT in names else "")
             + "---:|---:|---:|---:|"]
    cases = [c for c in CASES if c[1] <= 10**5] if args.quick else CASES
    for label, n, shapes, fraction in cases:
        cells, runs = measure(label, n, shapes, fraction, names, 1 if args.quick else REPEATS[n])
        lines.append(table_row(label, names, cells, runs))
    rich_cases = [c for c in RICH_CASES if c[1] <= 10**5] if args.quick else RICH_CASES
    for label, n in rich_cases:
        cells, runs = measure_rich(label, n, names, 1 if args.quick else RICH_REPEATS[n])
        lines.append(table_row(label, names, cells, runs))
    (HERE / "FASTEST.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
