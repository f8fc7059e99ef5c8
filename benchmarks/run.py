"""Side-by-side timing of tarnwex.splot against the tools users pick today.

    python benchmarks/run.py [--quick] [--native FILE] [--skip-memory] [--counting-module DIR]

Writes benchmarks/RESULTS.md (tables, machine, memory, and the native
likelihood figures if --native names their output) and benchmarks/times.png.
The contenders of one repeat run back to back in a rotating order, so each
ratio to tarnwex compares runs made under the same conditions.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import contenders  # noqa: E402
import rich_contenders  # noqa: E402
import rich_toy  # noqa: E402
import toy  # noqa: E402

SIZES = [10_000, 100_000, 1_000_000, 10_000_000]
REPEATS = {10_000: 7, 100_000: 5, 1_000_000: 3, 10_000_000: 2}
# At 10^7 events only tarnwex and the plain-function iminuit run: the other
# contenders add minutes and no comparison the smaller sizes do not make.
LARGEST_ONLY = 10_000_000
RICH_REPEATS = 5
MODES = {False: "yields only", True: "yields + mean, width"}
REFERENCE = "tarnwex.splot"
PACKAGE_ROW = "iminuit (plain NLL function) + sweights package"


@dataclass
class Row:
    contender: str
    n_events: int
    shapes: bool
    seconds: list
    pdf_calls: int
    run: contenders.Run
    nll: float = float("nan")

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)

    @property
    def spread(self) -> str:
        return f"{_fmt_seconds(min(self.seconds))}-{_fmt_seconds(max(self.seconds))}"


def measure(n_events: int, shapes: bool, repeats: int) -> list[Row]:
    data = toy.make_data(n_events)
    names = [n for n in contenders.CONTENDERS if shapes is False or "precomputed" not in n]
    if n_events >= LARGEST_ONLY:
        names = [REFERENCE, contenders.PLAIN_IMINUIT]
    rows = {name: Row(name, n_events, shapes, [], 0, None) for name in names + [PACKAGE_ROW]}
    for r in range(repeats):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            gc.collect()
            run = contenders.CONTENDERS[name](data, shapes)
            rows[name].seconds.append(run.seconds)
            rows[name].pdf_calls, rows[name].run = run.pdf_calls, run
            if name == contenders.PLAIN_IMINUIT:
                weights, seconds, counter = contenders.sweights_package(
                    np.ascontiguousarray(data[:, 0]), run.point)
                package = rows[PACKAGE_ROW]
                package.seconds.append(run.notes["fit_seconds"] + seconds)
                # The fit's own calls, less the two made for the NumPy sWeights.
                package.pdf_calls = run.pdf_calls - 2 + counter.calls
                package.run = contenders.Run(run.point, weights, package.seconds[-1],
                                             package.pdf_calls, run.pdf_seconds + counter.seconds,
                                             run.yield_errors, run.notes)
        print(f"  N={n_events:>8} {MODES[shapes]}: repeat {r + 1}/{repeats} done", flush=True)
    for row in rows.values():
        row.nll = toy.nll(data[:, 0], row.run.point)
    return list(rows.values())


def _fmt_seconds(s: float) -> str:
    return f"{s:.4f}" if s < 1 else f"{s:.3f}"


def _converged(run: contenders.Run) -> str:
    flag = run.notes.get("success", run.notes.get("valid"))
    return "?" if flag is None else ("yes" if flag else "no")


def table(rows: list[Row]) -> list[str]:
    ref = next(r for r in rows if r.contender == REFERENCE)
    # The sPlot covariance's errors are the yardstick: they come from the
    # event sum at the fitted point and do not depend on a Hessian estimate.
    sigma = ref.run.notes["splot_errors"]
    lines = ["| contender | median time [s] | min-max [s] | tarnwex / this | PDF calls | in PDFs [s] "
             "| converged | final NLL | NLL - tarnwex's | max abs yield diff | in sPlot yield errors "
             "| max abs sWeight diff |",
             "|---|---:|---:|---:|---:|---:|:-:|---:|---:|---:|---:|---:|"]
    for r in rows:
        dy = np.abs(r.run.point.yields - ref.run.point.yields)
        dsw = float(np.max(np.abs(r.run.sweights - ref.run.sweights)))
        lines.append(
            f"| {r.contender} | {_fmt_seconds(r.median)} | {r.spread} | {ref.median / r.median:.2f} "
            f"| {r.pdf_calls} "
            f"| {_fmt_seconds(r.run.pdf_seconds)} | {_converged(r.run)} | {r.nll:.6f} "
            f"| {r.nll - ref.nll:.3g} | {dy.max():.3g} | {np.max(dy / sigma):.2g} | {dsw:.2g} |")

    def fmt(values):
        return "[" + ", ".join(f"{v:.4g}" for v in values) + "]"

    lines += ["", f"tarnwex yield errors (joint fit covariance): {fmt(ref.run.yield_errors)}; "
                  f"from its sPlot covariance: {fmt(sigma)}."]
    return lines


def machine() -> list[str]:
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass

    def version(pkg):
        try:
            return metadata.version(pkg)
        except metadata.PackageNotFoundError:
            return "not installed"

    commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip() or "unknown"
    try:
        blas = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
        blas = f"{blas.get('name')} {blas.get('version', '')}".strip()
    except Exception:  # older NumPy: no dict form of the build configuration
        blas = "unknown"
    threads = ", ".join(f"{k}={os.environ[k]}" for k in sorted(os.environ)
                        if k.startswith(("OPENBLAS", "OMP_", "MKL_"))) or "none set"
    return [
        f"- CPU: {cpu}; cores available: {len(os.sched_getaffinity(0))} (of {os.cpu_count()}); "
        f"load average before the run: {LOAD_BEFORE}, after: {', '.join(f'{v:.2f}' for v in os.getloadavg())}",
        f"- NumPy built with BLAS {blas}; thread variables: {threads}",
        f"- Python {platform.python_version()} ({platform.python_implementation()}), "
        f"NumPy {np.__version__}",
        f"- tarnwex {version('tarnwex')} at commit {commit}; iminuit {version('iminuit')}, "
        f"SciPy {version('scipy')}, sweights {version('sweights')}",
    ]


LOAD_BEFORE = ", ".join(f"{v:.2f}" for v in os.getloadavg())


def measure_rich(repeats: int) -> list[str]:
    """The richer fit, contenders interleaved in a rotating order like the others."""
    data = rich_toy.make_data()
    x = data[:, 0]
    names = list(rich_contenders.RICH_CONTENDERS)
    seconds = {name: [] for name in names}
    runs = {}
    for r in range(repeats):
        for name in names[r % len(names):] + names[:r % len(names)]:
            gc.collect()
            run = rich_contenders.RICH_CONTENDERS[name](data)
            seconds[name].append(run.seconds)
            runs[name] = run
        print(f"  rich model: repeat {r + 1}/{repeats} done", flush=True)
    ref = runs[REFERENCE]
    ref_median = statistics.median(seconds[REFERENCE])
    ref_nll = rich_toy.nll(x, ref.yields, ref.shapes)
    sigma = ref.notes["splot_errors"]
    lines = [f"### N = {len(x)}, 4 components, 6 free shape parameters ({repeats} repeats)", "",
             "| contender | median time [s] | min-max [s] | tarnwex / this | PDF calls | converged "
             "| NLL - tarnwex's | max abs yield diff in sPlot yield errors |",
             "|---|---:|---:|---:|---:|:-:|---:|---:|"]
    for name in names:
        run, median = runs[name], statistics.median(seconds[name])
        lines.append(f"| {name} | {_fmt_seconds(median)} | {_fmt_seconds(min(seconds[name]))}-"
                     f"{_fmt_seconds(max(seconds[name]))} | {ref_median / median:.2f} | {run.pdf_calls} "
                     f"| {'yes' if run.notes['success'] else 'no'} "
                     f"| {rich_toy.nll(x, run.yields, run.shapes) - ref_nll:.3g} "
                     f"| {np.max(np.abs(run.yields - ref.yields) / sigma):.2g} |")
    RATIOS["rich"] = ref_median / statistics.median(seconds[contenders.PLAIN_IMINUIT])
    PDF_RATIOS["rich"] = ref.pdf_calls / runs[contenders.PLAIN_IMINUIT].pdf_calls
    return lines


# tarnwex's median time over the plain iminuit contender's, per case, and
# its PDF calls over iminuit's.
RATIOS: dict = {}
PDF_RATIOS: dict = {}
TARGETS = {False: 0.5, True: 0.8, "rich": 0.8}
# PDF calls, tarnwex / iminuit, in every fit with shape parameters.
PDF_CALLS_TARGET = 0.8


def summary(passes: dict | None) -> list[str]:
    lines = ["## Summary: tarnwex against iminuit (plain NLL function)", "",
             "Ratio of median times, tarnwex / iminuit (below 1: tarnwex is faster). Passes: "
             "tarnwex's passes over the events, and the distinct parameter points they were made at "
             "(a counting build, benchmarks/count_passes.py).", "",
             "| fit | tarnwex / iminuit | target | PDF calls tarnwex / iminuit | likelihood passes "
             "| distinct points | passes / points |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for key, ratio in RATIOS.items():
        if key == "rich":
            label, target, case = "5e4 events, 4 components, 6 shapes", TARGETS["rich"], "rich"
        else:
            n, shapes = key
            label, target, case = f"{n} events, {MODES[shapes]}", TARGETS[shapes], f"{n} {MODES[shapes]}"
        counted = (passes or {}).get(case)
        count_cells = (f"{counted[0]} | {counted[1]} | {counted[0] / counted[1]:.3f}" if counted
                       else "not counted | | ")
        calls = PDF_RATIOS.get(key)
        calls_cell = (f"{calls:.2f} (target <= {PDF_CALLS_TARGET})" if key == "rich" or key[1]
                      else f"{calls:.2f}")
        lines.append(f"| {label} | {ratio:.2f} | <= {target} | {calls_cell} | {count_cells} |")
    return lines


# A fit whose NLL ends this far above tarnwex's has not found the minimum.
OFF_MINIMUM_NLL = 0.5


def plot(rows: list[Row], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(dict.fromkeys(r.contender for r in rows))
    colours = {name: f"C{i}" for i, name in enumerate(names)}
    reference = {(r.n_events, r.shapes): r.nll for r in rows if r.contender == REFERENCE}
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.6), sharey=True)
    for ax, shapes in zip(axes, (False, True)):
        for name in names:
            pts = sorted((r.n_events, r.median, r.nll - reference[(r.n_events, shapes)])
                         for r in rows if r.contender == name and r.shapes == shapes)
            if not pts:
                continue
            ax.plot([p[0] for p in pts], [p[1] for p in pts], color=colours[name], label=name)
            for n, seconds, excess in pts:
                ax.plot(n, seconds, color=colours[name],
                        marker="x" if excess > OFF_MINIMUM_NLL else "o", markersize=7)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("events")
        ax.set_title(f"fit + sWeights, {MODES[shapes]}")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("median wall time [s]")
    axes[0].legend(fontsize=8, title=f"x: NLL > {OFF_MINIMUM_NLL} above tarnwex's",
                   title_fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# glibc raises its mmap threshold after large blocks are freed, so later
# large blocks come from the heap and freed ones may stay resident. Fixing the
# threshold returns every large block at once: the peak then shows the live
# bytes alone.
FIXED_MMAP_THRESHOLD = {"MALLOC_MMAP_THRESHOLD_": "131072"}


def memory_section(events: int) -> list[str]:
    lines = ["## Memory", "",
             f"Peak resident memory above the baseline, {events} events, 3 components, 2 features, "
             "each measured in a fresh process (benchmarks/memory_probe.py). Budget: 1.2 x (data + "
             "K x N density table + sWeights). Rows marked \"live\" fix glibc's mmap threshold, so "
             "that freed large blocks leave at once and the peak counts live bytes only.", "",
             "| step | peak above baseline [MB] | budget [MB] | peak / (data + table + sWeights) |",
             "|---|---:|---:|---:|"]
    steps = [("fit", {}, "splot, mean and width free"),
             ("fit", FIXED_MMAP_THRESHOLD, "splot, mean and width free, live"),
             ("yields", {}, "splot, yields only"),
             ("yields", FIXED_MMAP_THRESHOLD, "splot, yields only, live"),
             ("pdfs", {}, "the 3 Python PDF calls alone, outputs held")]
    needed = None
    for what, env, label in steps:
        proc = subprocess.run([sys.executable, str(HERE / "memory_probe.py"), "--events", str(events),
                               "--what", what], capture_output=True, text=True,
                              env={**os.environ, **env})
        if proc.returncode != 0:
            lines.append(f"| {label} | failed: {proc.stderr.strip().splitlines()[-1]} | | |")
            continue
        out = json.loads(proc.stdout)
        needed = out
        total = sum(out["needed_bytes"].values())
        lines.append(f"| {label} | {out['peak_above_baseline'] / 1e6:.1f} | {1.2 * total / 1e6:.1f} "
                     f"| {out['peak_above_baseline'] / total:.2f} |")
    if needed:
        parts = ", ".join(f"{k} {v / 1e6:.0f} MB" for k, v in needed["needed_bytes"].items())
        lines += ["", f"Needed: {parts}. Baseline resident memory: "
                      f"{needed['baseline_rss'] / 1e6:.0f} MB."]
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one repeat (a smoke run)")
    parser.add_argument("--native", type=Path, help="output of the native likelihood benchmark")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--out", type=Path, default=HERE / "RESULTS.md")
    parser.add_argument("--counting-module", type=Path,
                        help="directory of a tarnwex build with TARNWEX_COUNT_PASSES=ON")
    args = parser.parse_args()

    sizes = [2_000, 20_000] if args.quick else SIZES
    rows = []
    for n in sizes:
        for shapes in (False, True):
            case = measure(n, shapes, 1 if args.quick else REPEATS[n])
            by_name = {r.contender: r for r in case}
            RATIOS[(n, shapes)] = by_name[REFERENCE].median / by_name[contenders.PLAIN_IMINUIT].median
            PDF_RATIOS[(n, shapes)] = (by_name[REFERENCE].pdf_calls
                                       / by_name[contenders.PLAIN_IMINUIT].pdf_calls)
            rows += case
    rich = measure_rich(1 if args.quick else RICH_REPEATS)
    passes = None
    if args.counting_module and not args.quick:
        proc = subprocess.run([sys.executable, str(HERE / "count_passes.py"), str(args.counting_module)],
                              capture_output=True, text=True, check=True)
        passes = json.loads(proc.stdout)

    args.out.parent.mkdir(parents=True, exist_ok=True)
    png = args.out.with_name("times.png")
    plot(rows, png)
    md = ["# Benchmark results", "", "Written by `make bench` (benchmarks/run.py).", "", "## Machine", ""]
    md += machine()
    md += [""] + summary(passes)
    md += ["", "## Fit and sWeights, side by side", "",
           "Toy: one feature on [0, 10], Gaussian signal (30 %) over an exponential background, the "
           "same NumPy densities for every contender, start yields N/2 each, start mean 4.8 and "
           "width 0.8. Yields-only fits keep the shape at its true value. Times cover the fit, its "
           "errors (tarnwex and iminuit: a Hessian; SciPy: none) and the sWeights. PDF calls "
           "count full vectorised evaluations of one component. The final NLL is evaluated with "
           "one formula (extended, unit weights, as tarnwex defines it) at each contender's "
           "fitted point.", ""]
    for n in sizes:
        for shapes in (False, True):
            subset = [r for r in rows if r.n_events == n and r.shapes == shapes]
            md += [f"### N = {n}, {MODES[shapes]} ({len(subset[0].seconds)} repeats)", ""]
            md += table(subset) + [""]
    md += rich + [""]
    md += [f"![median wall time against events]({png.name})", ""]
    if not args.skip_memory:
        md += memory_section(100_000 if args.quick else 1_000_000) + [""]
    if args.native and args.native.exists():
        md += ["## Likelihood evaluation against the plain loop (native)", "", "```",
               args.native.read_text().rstrip(), "```", ""]
    # Findings measured by hand (a profile, a tolerance study) travel with
    # every rewrite of the results.
    analysis = HERE / "ANALYSIS.md"
    if analysis.exists():
        md += [line for line in analysis.read_text().splitlines() if not line.startswith("<!--")]
    args.out.write_text("\n".join(md))
    print(f"wrote {args.out} and {png}")


if __name__ == "__main__":
    main()
