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
import gc
import os
import statistics
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import contenders  # noqa: E402
import toy  # noqa: E402

TARNWEX = "tarnwex"
IMINUIT = "iminuit, hand-written NumPy NLL"
ROOFIT = "RooFit (cpu backend, Minuit2 + Hesse) + RooStats::SPlot"
RUNNERS = {TARNWEX: contenders.run_tarnwex_careful, IMINUIT: contenders.run_iminuit_fastest,
           ROOFIT: contenders.run_roofit}
# (label, events, shapes, signal fraction, start yields: None = N/2 each)
CASES = [(f"10^{e}, {'mean and width free' if s else 'yields only'}", 10**e, s, toy.SIGNAL_FRACTION)
         for e in (4, 5, 6, 7) for s in (False, True)]
CASES.append(("10^6, 10 % signal, mean and width free", 10**6, True, 0.1))
REPEATS = {10**4: 7, 10**5: 5, 10**6: 3, 10**7: 2}


def measure(label, n, shapes, fraction, names, repeats):
    data = toy.make_data(n, signal_fraction=fraction)
    for name in names:  # warm-up: imports, JIT and first-call costs stay out
        RUNNERS[name](toy.make_data(1000, signal_fraction=fraction), shapes)
    seconds = {name: [] for name in names}
    runs = {}
    for r in range(repeats):
        for name in names[r % len(names):] + names[:r % len(names)]:
            gc.collect()
            runs[name] = RUNNERS[name](data, shapes)
            seconds[name].append(runs[name].seconds)
    ref = runs[TARNWEX]
    sigma = ref.notes["splot_errors"]
    cells = {}
    for name in names:
        ratios = [a / b for a, b in zip(seconds[TARNWEX], seconds[name])]
        run = runs[name]
        cells[name] = (statistics.median(seconds[name]), statistics.median(ratios),
                       float(np.max(np.abs(run.point.yields - ref.point.yields) / sigma)),
                       float(np.max(np.abs(run.sweights - ref.sweights))),
                       toy.nll(data[:, 0], run.point) - toy.nll(data[:, 0], ref.point))
    print(f"  {label}: " + ", ".join(f"{k} {v[0]:.4f} s" for k, v in cells.items()), flush=True)
    return label, cells, runs


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-roofit", action="store_true")
    args = parser.parse_args()
    names = [TARNWEX, IMINUIT] + ([] if args.no_roofit else [ROOFIT])
    load = os.getloadavg()
    lines = ["# tarnwex against the fastest workflows", "",
             "Written by `benchmarks/fastest.py`. Toy of benchmarks/toy.py (Gaussian signal on an "
             "exponential background over [0, 10]); the fixed components are computed once in every "
             "contender; start yields N/2 each. Times cover the fit, its errors and the sWeights. "
             f"Load average before the run: {load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}.", "",
             f"| fit | {TARNWEX} [s] | {IMINUIT} [s] | ratio |"
             + (f" {ROOFIT} [s] | ratio |" if ROOFIT in names else "")
             + " PDF calls tarnwex / iminuit | max yield diff / σ | max sWeight diff |",
             "|---|---:|---:|---:|" + ("---:|---:|" if ROOFIT in names else "") + "---:|---:|---:|"]
    cases = [c for c in CASES if c[1] <= 10**5] if args.quick else CASES
    for label, n, shapes, fraction in cases:
        repeats = 1 if args.quick else REPEATS[n]
        label, cells, runs = measure(label, n, shapes, fraction, names, repeats)
        t, i = cells[TARNWEX], cells[IMINUIT]
        row = f"| {label} | {t[0]:.4f} | {i[0]:.4f} | {i[1]:.2f} |"
        if ROOFIT in names:
            f = cells[ROOFIT]
            row += f" {f[0]:.3f} | {f[1]:.2f} |"
        others = [cells[k] for k in names if k != TARNWEX]
        row += (f" {runs[TARNWEX].pdf_calls} / {runs[IMINUIT].pdf_calls} "
                f"| {max(c[2] for c in others):.2g} "
                f"| {max(c[3] for c in others):.2g} |")
        lines.append(row)
    (HERE / "FASTEST.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
