"""tarnwex's built-in densities against the peers' fastest workflows, in one run.

    python benchmarks/builtins_bench.py [--quick] [--no-roofit] [--numba-parallel]
                                        [--max-events N]

Fits with every shape free (benchmarks/builtin_contenders.py): the toy with
the Gaussian's mean and width and the exponential's slope free, and the rich
model with its six shapes. Contenders: tarnwex with built-in densities,
tarnwex with NumPy PDFs, iminuit with a hand-written NumPy NLL, iminuit with
a numba-compiled NLL of numba-stats densities, RooFit's cpu backend. As in
fastest.py, the contenders of one repeat run back to back in a rotating order
in this one process, after one unmeasured warm-up run each (imports, numba's
compilation); a ratio is the median of the per-repeat ratios. Every
contender's fitted values are compared with the built-in fit's, in units of
its errors, so that a fast but wrong contender shows. Also measured: the time
to read the largest data column once, against which tarnwex's time per
evaluated point is set, and (in a subprocess, builtins_memory.py) the peak
memory of a built-in fit of 10^7 events. Writes benchmarks/BUILTINS.md.

--quick: one repeat, no 10^7 fit. --max-events: leave out bigger fits.
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import os
import re
import statistics
import subprocess
import sys
import time
import traceback
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import builtin_contenders as bc  # noqa: E402

BUILTIN = "tarnwex, built-in densities"
NUMPY_PDFS = "tarnwex, NumPy PDFs (declared)"
IMINUIT = "iminuit, hand-written NumPy NLL"
NUMBA = "iminuit, numba-stats NLL"
ROOFIT = "RooFit (cpu backend, Minuit2 + Hesse) + RooStats::SPlot"
PEERS = (IMINUIT, NUMBA, ROOFIT)
SHORT = {BUILTIN: "built-ins", NUMPY_PDFS: "NumPy PDFs", IMINUIT: "iminuit NumPy",
         NUMBA: "iminuit numba-stats", ROOFIT: "RooFit"}

# (label, model, events)
CASES = [(f"toy 10^{e}, mean, width, slope free", bc.toy_model(), 10**e) for e in (4, 5, 6, 7)]
CASES += [("toy 10^6, 10 % signal, mean, width, slope free", bc.toy_model(0.1), 10**6),
          ("rich 5·10^4, 4 components, 6 shapes", bc.RICH, 50_000),
          ("rich 10^6, 4 components, 6 shapes", bc.RICH, 10**6)]
REPEATS = {10**4: 7, 50_000: 5, 10**5: 5, 10**6: 3, 10**7: 2}
WARM_UP_EVENTS = 1000
# Targets for the built-ins' share of the fastest peer's time.
TARGET_SHARE, TARGET_FROM_EVENTS = 0.1, 10**5
# and of RooFit's for the rich model from 10^6 events on
ROOFIT_TARGET_FROM_EVENTS = 10**6


def interleaved(run, names, repeats):
    """Runs `run(name)` `repeats` times per contender in a rotating order; seconds and last fits.

    A contender that raises is reported and left out of the later repeats.
    """
    seconds = {name: [] for name in names}
    fits, failures = {}, {}
    for r in range(repeats):
        for name in names[r % len(names):] + names[:r % len(names)]:
            if name in failures:
                continue
            gc.collect()
            try:
                fits[name] = run(name)
            except Exception as error:  # noqa: BLE001 (a failing contender is a result)
                failures[name] = f"{type(error).__name__}: {error}"
                print(f"    {name} failed: {failures[name]}", flush=True)
                traceback.print_exc()
                continue
            seconds[name].append(fits[name].seconds)
    return seconds, fits, failures


def deviation(model, fit, ref) -> tuple[float, str]:
    """The largest |fit - ref| over yields and shapes in units of ref's errors, and where."""
    worst, where = 0.0, ""
    pairs = list(zip(model.yield_names(), fit.yields, ref.yields))
    pairs += [(name, fit.shapes[name], ref.shapes[name]) for name in model.parameters]
    for name, a, b in pairs:
        d = abs(a - b) / ref.errors[name]
        if d > worst:
            worst, where = d, name
    return float(worst), where


def evaluated_points(fit) -> tuple[int, str]:
    """Points at which tarnwex evaluated the model, and the count they come from."""
    for name in ("distinct_points", "evaluated_points", "density_evaluations"):
        if name in fit.notes:
            return int(fit.notes[name]), name
    # With exact derivatives the objective and its gradient come from one pass
    # at one point; the Hessian's points are counted apart.
    n = fit.notes
    return (max(n["objective_evaluations"], n["gradient_evaluations"]) + n["hessian_evaluations"],
            "max(objective, gradient) + hessian evaluations")


def measure(label, model, n, runners, repeats):
    data = model.make_data(n)
    warm = model.make_data(WARM_UP_EVENTS)
    names = list(runners)
    for name in list(names):
        try:
            runners[name](model, warm)
        except Exception as error:  # noqa: BLE001
            print(f"    warm-up of {name} failed: {type(error).__name__}: {error}", flush=True)
    seconds, fits, failures = interleaved(lambda name: runners[name](model, data), names, repeats)
    ref_name = BUILTIN if BUILTIN in fits else NUMPY_PDFS
    ref = fits.get(ref_name)
    x = data[:, 0]
    cell = {"label": label, "events": n, "fraction": model.signal_fraction, "seconds": {}, "ratio": {}, "failures": failures,
            "deviation": {}, "nll": {}, "sweights": {}, "valid": {}, "ref": ref_name}
    for name in names:
        if not seconds[name]:
            continue
        cell["seconds"][name] = statistics.median(seconds[name])
        cell["valid"][name] = bool(fits[name].notes.get("valid", True))
        if BUILTIN in fits and seconds[BUILTIN]:
            cell["ratio"][name] = statistics.median(
                a / b for a, b in zip(seconds[BUILTIN], seconds[name]))
        if ref is not None and name != ref_name:
            cell["deviation"][name] = deviation(model, fits[name], ref)
            cell["nll"][name] = (bc.nll(model, x, fits[name].yields, fits[name].shapes)
                                 - bc.nll(model, x, ref.yields, ref.shapes))
            cell["sweights"][name] = float(np.max(np.abs(fits[name].sweights - ref.sweights)))
    if BUILTIN in fits:
        cell["points"] = evaluated_points(fits[BUILTIN])
        cell["builtin_notes"] = {k: v for k, v in fits[BUILTIN].notes.items() if k != "kind"}
    print(f"  {label}: " + ", ".join(f"{SHORT[k]} {v:.4f} s" for k, v in cell["seconds"].items()),
          flush=True)
    if cell["deviation"]:
        worst = max(cell["deviation"].items(), key=lambda kv: kv[1][0])
        print(f"    worst disagreement with {SHORT[ref_name]}: {worst[1][0]:.3g} σ "
              f"({SHORT[worst[0]]}, {worst[1][1]}); NLL − {SHORT[ref_name]}'s: "
              + ", ".join(f"{SHORT[k]} {v:+.2g}" for k, v in cell["nll"].items()), flush=True)
    return cell


def read_probe(n: int, repeats: int = 9) -> float:
    """Seconds to read an n-event data column once (np.sum over it), best of `repeats`."""
    x = bc.toy_model().make_data(n)[:, 0]
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        np.sum(x)
        best = min(best, time.perf_counter() - start)
    return best


def counted_points(module_dir: str, fraction: float, events: int) -> tuple[int, int] | str:
    """Passes over the events and distinct points of the built-in toy fit, from a
    build with -DTARNWEX_COUNT_PASSES=ON in `module_dir` (its own process, so
    the counting build never meets the timed one); an error text on failure."""
    code = ("import sys; sys.path[:0] = [{!r}, {!r}]\n"
            "import builtin_contenders as bc\n"
            "m = bc.toy_model({!r})\n"
            "bc.run_tarnwex_builtin(m, m.make_data({}))\n").format(module_dir, str(HERE), fraction, events)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": ""})
    match = re.findall(r"tarnwex-passes (\d+) distinct (\d+)", proc.stderr)
    if proc.returncode != 0 or not match:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        return f"no count from {module_dir}: {tail[0]}"
    passes, distinct = (int(v) for v in match[-1])
    return passes, distinct


def memory_probe(events: int, pdfs: str) -> dict:
    proc = subprocess.run([sys.executable, str(HERE / "builtins_memory.py"), "--events", str(events),
                           "--pdfs", pdfs], capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "failed"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def fmt_seconds(v) -> str:
    return "—" if v is None else (f"{v:.4f}" if v < 1 else f"{v:.3f}" if v < 10 else f"{v:.2f}")


def table_row(cell, names) -> str:
    s, r = cell["seconds"], cell["ratio"]
    row = f"| {cell['label']} |" + "".join(
        f" {fmt_seconds(s.get(name)) if name not in cell['failures'] else 'error'} |" for name in names)
    peers = [p for p in PEERS if p in s and cell["valid"].get(p, False)]
    fastest = min(peers, key=lambda p: s[p]) if peers else None
    share = r.get(fastest) if fastest and BUILTIN in s else None
    target = ""
    if share is not None and cell["events"] >= TARGET_FROM_EVENTS:
        target = " (met)" if share <= TARGET_SHARE else " (not met)"
    row += f" {'—' if share is None else f'{share:.3f}'}{target} | {SHORT.get(fastest, '—')} |"
    roofit = r.get(ROOFIT)
    target = ""
    if roofit is not None and cell["fraction"] is None and cell["events"] >= ROOFIT_TARGET_FROM_EVENTS:
        target = " (met)" if roofit <= TARGET_SHARE else " (not met)"
    row += f" {'—' if roofit is None else f'{roofit:.3f}'}{target} |"
    numpy_pdfs = r.get(NUMPY_PDFS)
    row += f" {'—' if numpy_pdfs is None else f'{numpy_pdfs:.3f}'} |"
    if cell["deviation"]:
        worst = max(cell["deviation"].items(), key=lambda kv: kv[1][0])
        row += f" {worst[1][0]:.2g} ({SHORT[worst[0]]}, {worst[1][1]}) |"
        row += " " + " / ".join(f"{cell['nll'][k]:+.2g}" for k in names if k in cell["nll"]) + " |"
    else:
        row += " — | — |"
    invalid = [SHORT[k] for k, ok in cell["valid"].items() if not ok]
    row += f" not: {', '.join(invalid)} |" if invalid else " all |"
    return row


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-roofit", action="store_true")
    parser.add_argument("--numba-parallel", action="store_true",
                        help="compile the numba NLL with parallel=True (all of numba's threads)")
    parser.add_argument("--max-events", type=int, default=None)
    parser.add_argument("--count-module", metavar="DIR",
                        help="a tarnwex build with -DTARNWEX_COUNT_PASSES=ON: the probe then "
                             "divides by the distinct points it counts")
    args = parser.parse_args()
    warnings.filterwarnings("ignore", message=r"(?s).*alpha stage")

    runners = {}
    builtin_missing = bc.builtins_available()
    if builtin_missing:
        print(f"tarnwex with built-in densities skipped: {builtin_missing}", flush=True)
    else:
        runners[BUILTIN] = bc.run_tarnwex_builtin
    runners[NUMPY_PDFS] = bc.run_tarnwex_numpy
    runners[IMINUIT] = bc.run_iminuit_numpy
    runners[NUMBA] = functools.partial(bc.run_iminuit_numba, parallel=args.numba_parallel)
    roofit_missing = "--no-roofit" if args.no_roofit else bc.roofit_available()
    if roofit_missing:
        print(f"RooFit skipped: {roofit_missing}", flush=True)
    else:
        runners[ROOFIT] = bc.run_roofit
    names = list(runners)
    ref_name = BUILTIN if BUILTIN in runners else NUMPY_PDFS

    import tarnwex
    load = os.getloadavg()
    cases = [c for c in CASES if not (args.quick and c[2] >= 10**7)]
    if args.max_events:
        cases = [c for c in cases if c[2] <= args.max_events]
    cells = []
    for label, model, n in cases:
        cells.append(measure(label, model, n, runners, 1 if args.quick else REPEATS[n]))

    toy_cells = [c for c in cells if c["fraction"] == bc.toy.SIGNAL_FRACTION and "points" in c]
    probe_lines = []
    largest = max(toy_cells, key=lambda c: c["events"], default=None)
    if largest is not None:
        read = read_probe(largest["events"])
        points, source = largest["points"]
        if args.count_module:
            counted = counted_points(args.count_module, largest["fraction"], largest["events"])
            if isinstance(counted, str):
                print(counted, flush=True)
                source += f"; {counted}"
            else:
                points = counted[1]
                source = f"distinct points counted by a TARNWEX_COUNT_PASSES build, {counted[0]} passes"
        per_point = largest["seconds"][BUILTIN] / points
        probe_lines.append(
            f"- Reading the {largest['events']:.0e}-event data column once (np.sum, best of 9): "
            f"{read * 1e3:.2f} ms. tarnwex with built-ins, {largest['label']}: "
            f"{largest['seconds'][BUILTIN]:.4f} s over {points} evaluated points ({source}) = "
            f"{per_point * 1e3:.2f} ms per point = {per_point / read:.1f} × the read time "
            f"(target ≤ 3: {'met' if per_point <= 3 * read else 'not met'}).")
        print(probe_lines[-1], flush=True)
    if BUILTIN in runners and not (args.max_events and args.max_events < 10**7):
        for pdfs in ("builtin",) if args.quick else ("builtin", "numpy"):
            mem = memory_probe(10**7, pdfs)
            if "error" in mem:
                line = f"- Peak memory of a tarnwex fit of 10^7 events ({pdfs}): failed: {mem['error']}"
            else:
                mib = 2.0**20
                line = (f"- Peak resident memory of a tarnwex fit of the toy at 10^7 events, "
                        f"{'built-in densities' if pdfs == 'builtin' else 'NumPy PDFs'} "
                        f"(fresh process, builtins_memory.py): {mem['peak_above_baseline'] / mib:.0f} MiB "
                        f"above the {mem['baseline_rss'] / mib:.0f} MiB baseline (data "
                        f"{mem['data_bytes'] / mib:.0f} MiB, sWeights {mem['sweights_bytes'] / mib:.0f} "
                        f"MiB); peak {mem['peak_hwm'] / mib:.0f} MiB; fit valid: {mem['valid']}.")
            probe_lines.append(line)
            print(line, flush=True)

    header = (f"| fit |" + "".join(f" {name} [s] |" for name in names)
              + " built-ins / fastest peer | fastest peer | built-ins / RooFit | built-ins / NumPy PDFs"
              " | max deviation / σ (who, what) | NLL − built-ins', "
              + " / ".join(SHORT[k] for k in names if k != BUILTIN) + " | valid fits |")
    align = "|---|" + "---:|" * (len(names) + 1) + "---|---:|---:|---|---:|---|"
    lines = ["# tarnwex's built-in densities against the fastest workflows", "",
             "Written by `benchmarks/builtins_bench.py`"
             + (" --quick (one repeat, no 10^7 fit)" if args.quick else "") + ". "
             "Every shape is free: the toy of benchmarks/toy.py with the Gaussian's mean and "
             "width and the exponential's slope free (start yields N/2 each), the rich model of "
             "benchmarks/rich_toy.py with its six shapes (start yields N/4 each); all densities "
             "normalised on [0, 10] (see benchmarks/builtin_contenders.py). The peers as a careful "
             "user writes them: iminuit (migrad + hesse) minimising a hand-written NumPy NLL that "
             "writes into buffers allocated once; iminuit minimising an NLL compiled with numba "
             "from numba-stats' truncnorm and truncexpon ("
             + ("parallel=True" if args.numba_parallel else "one thread, like tarnwex")
             + ", compilation in the warm-up); RooFit's cpu backend with RooGaussian and "
             "RooExponential, then RooStats::SPlot. Times cover the fit, its errors and the "
             "sWeights: median over "
             + ("one repeat" if args.quick else "repeats (7 at 10^4, 5 at 5·10^4 and 10^5, 3 at 10^6, 2 at 10^7)")
             + ", contenders interleaved in a rotating order after a warm-up run each; a ratio is "
             "the median of the per-repeat ratios (below 1: the built-ins are faster). Target: "
             f"built-ins ≤ {TARGET_SHARE} of the fastest peer's time from 10^5 events on, and of "
             "RooFit's for the rich model at 10^6. "
             f"Deviations: each contender's yields and shapes against the {SHORT[ref_name]} fit's, in units "
             "of its errors (the largest one listed); NLL differences at each contender's point "
             "under one NumPy NLL.", "",
             f"Python {sys.version.split()[0]}, NumPy {np.__version__}, tarnwex from "
             f"`{Path(tarnwex.__file__).parent}`; load average before the run: "
             f"{load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}.", "", header, align]
    lines += [table_row(c, names) for c in cells]
    lines.append("")
    skipped = []
    if builtin_missing:
        skipped.append(f"tarnwex with built-in densities skipped: {builtin_missing}")
    if roofit_missing:
        skipped.append(f"RooFit skipped: {roofit_missing}")
    for c in cells:
        for name, why in c["failures"].items():
            skipped.append(f"{c['label']}: {name} failed: {why}")
    lines += probe_lines + [f"- {s}" for s in skipped]
    for c in cells:
        if "builtin_notes" in c:
            n = c["builtin_notes"]
            lines.append(f"- {c['label']}, built-ins: {n.get('message', '')}; evaluations: objective "
                         f"{n.get('objective_evaluations')}, gradient {n.get('gradient_evaluations')}, "
                         f"Hessian {n.get('hessian_evaluations')}.")
    (HERE / "BUILTINS.md").write_text("\n".join(lines) + "\n")
    print(f"wrote {HERE / 'BUILTINS.md'}")


if __name__ == "__main__":
    main()
