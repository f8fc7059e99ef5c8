"""How often a fit from a poor start reaches the global minimum, tarnwex against iminuit.

A Gaussian peak (mean 5, width 0.3) on an exponential background (slope 0.3)
in [0, 10], with mean, width and slope free. For every signal fraction and
start width, `--repeats` samples are fitted from a start whose mean is drawn
uniformly in [2, 8] (slope 0.5, default yields), once by tarnwex and once by
iminuit's migrad on the same NLL from the same point (yields N/2 each). The
global minimum is the lowest NLL either finds, or tarnwex started at the truth;
a fit within `--slack` of it has reached it.

    python benchmarks/poor_starts.py --seed 1
    python benchmarks/poor_starts.py --seed 1 --trace 0.03 0.1 6.2   # one start, both paths
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass

import numpy as np

LOW, HIGH = 0.0, 10.0
TRUE_MEAN, TRUE_WIDTH, TRUE_SLOPE = 5.0, 0.3, 0.3
FRACTIONS = (0.01, 0.03, 0.10, 0.30)
START_WIDTHS = (0.1, 0.5, 1.5)
START_SLOPE = 0.5
BOUNDS = {"mu": (1.0, 9.0), "sigma": (0.05, 3.0), "slope": (0.01, 2.0)}
YIELD_LOWER = 2.220446049250313e-16
NAMES = ("mu", "sigma", "slope")


def gaussian(data, p):
    mu, sigma = p["mu"], p["sigma"]
    scale = sigma * math.sqrt(2.0)
    norm = 0.5 * (math.erf((HIGH - mu) / scale) - math.erf((LOW - mu) / scale))
    return np.exp(-0.5 * ((data[:, 0] - mu) / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi) * norm)


def exponential(data, p):
    slope = p["slope"]
    norm = -math.expm1(-slope * (HIGH - LOW)) / slope
    return np.exp(-slope * (data[:, 0] - LOW)) / norm


PDFS = [gaussian, exponential]


def sample(rng, n_events, fraction):
    n_signal = rng.binomial(n_events, fraction)
    signal = rng.normal(TRUE_MEAN, TRUE_WIDTH, n_signal)
    u = rng.random(n_events - n_signal)
    background = LOW - np.log1p(u * math.expm1(-TRUE_SLOPE * (HIGH - LOW))) / TRUE_SLOPE
    return np.concatenate([signal, background])[:, None], n_signal


def nll_function(data):
    def nll(ns, nb, mu, sigma, slope):
        p = {"mu": mu, "sigma": sigma, "slope": slope}
        density = ns * gaussian(data, p) + nb * exponential(data, p)
        return float(ns + nb - math.fsum(np.log(np.maximum(density, 1e-300))))
    return nll


def traced(pdfs, log):
    """The PDFs, each call of the first one logging the shape point."""
    def first(d, p):
        log.append(tuple(p[n] for n in NAMES))
        return pdfs[0](d, p)
    return [first] + list(pdfs[1:])


def run_tarnwex(data, start, initial_yields=None, log=None):
    import tarnwex

    shape_parameters = [tarnwex.ShapeParameter(n, start[n], *BOUNDS[n]) for n in NAMES]
    pdfs = PDFS if log is None else traced(PDFS, log)
    result = tarnwex.splot(data, pdfs, shape_parameters=shape_parameters,
                           initial_yields=initial_yields)
    return result


def run_iminuit(data, start, log=None):
    from iminuit import Minuit

    nll = nll_function(data)
    if log is not None:
        plain = nll

        def nll(ns, nb, mu, sigma, slope):
            value = plain(ns, nb, mu, sigma, slope)
            log.append((ns, nb, mu, sigma, slope, value))
            return value
    n = len(data)
    m = Minuit(nll, ns=n / 2.0, nb=n / 2.0, **start)
    m.errordef = Minuit.LIKELIHOOD
    m.limits["ns"] = m.limits["nb"] = (YIELD_LOWER, None)
    for name in NAMES:
        m.limits[name] = BOUNDS[name]
    m.migrad()
    return m


@dataclass
class Outcome:
    fraction: float
    width: float
    mean: float
    tarnwex_nll: float
    iminuit_nll: float
    global_nll: float
    tarnwex_success: bool
    iminuit_valid: bool
    evaluations: int


def sweep(seed, n_events, repeats):
    rng = np.random.default_rng(seed)
    outcomes = []
    for fraction in FRACTIONS:
        for width in START_WIDTHS:
            for _ in range(repeats):
                data, n_signal = sample(rng, n_events, fraction)
                start = {"mu": float(rng.uniform(2.0, 8.0)), "sigma": width, "slope": START_SLOPE}
                nll = nll_function(data)
                ours = run_tarnwex(data, start)
                theirs = run_iminuit(data, start)
                truth = run_tarnwex(data, {"mu": TRUE_MEAN, "sigma": TRUE_WIDTH, "slope": TRUE_SLOPE},
                                    initial_yields=[n_signal, n_events - n_signal])
                # Every NLL measured the same way, so that a tie is a tie.
                ours_nll = nll(*ours.yields, *(ours.shape_parameters[n] for n in NAMES))
                truth_nll = nll(*truth.yields, *(truth.shape_parameters[n] for n in NAMES))
                theirs_nll = nll(*theirs.values)
                outcomes.append(Outcome(fraction, width, start["mu"], ours_nll, theirs_nll,
                                        min(ours_nll, theirs_nll, truth_nll), ours.success,
                                        theirs.valid, ours.objective_evaluations))
    return outcomes


def report(outcomes, slack):
    def reached(o):
        return (o.tarnwex_nll - o.global_nll <= slack, o.iminuit_nll - o.global_nll <= slack)

    print(f"{'fraction':>8} {'width':>5}  tarnwex  iminuit")
    for fraction in FRACTIONS:
        for width in START_WIDTHS:
            family = [reached(o) for o in outcomes if o.fraction == fraction and o.width == width]
            print(f"{fraction:8.2f} {width:5.1f}  {sum(a for a, _ in family):3d}/{len(family):<3d}"
                  f"  {sum(b for _, b in family):3d}/{len(family):<3d}")
    for label, key, values in (("fraction", "fraction", FRACTIONS), ("width", "width", START_WIDTHS)):
        for v in values:
            family = [reached(o) for o in outcomes if getattr(o, key) == v]
            print(f"{label} {v:4.2f}: tarnwex {sum(a for a, _ in family)}/{len(family)}, "
                  f"iminuit {sum(b for _, b in family)}/{len(family)}")
    both = [reached(o) for o in outcomes]
    print(f"all: tarnwex {sum(a for a, _ in both)}/{len(both)}, iminuit {sum(b for _, b in both)}/{len(both)}")
    print(f"tarnwex objective evaluations: mean {np.mean([o.evaluations for o in outcomes]):.1f}, "
          f"max {max(o.evaluations for o in outcomes)}")
    for o in outcomes:
        ours, theirs = reached(o)
        if not (ours and theirs):
            print(f"  missed: fraction {o.fraction:.2f} width {o.width:.1f} mean {o.mean:.3f}: "
                  f"tarnwex +{o.tarnwex_nll - o.global_nll:.3f} (success {o.tarnwex_success}), "
                  f"iminuit +{o.iminuit_nll - o.global_nll:.3f} (valid {o.iminuit_valid})")


def trace(seed, n_events, fraction, width, mean):
    data, _ = sample(np.random.default_rng(seed), n_events, fraction)
    start = {"mu": mean, "sigma": width, "slope": START_SLOPE}
    log = []
    result = run_tarnwex(data, start, log=log)
    print(f"tarnwex: {result.message}, NLL {result.minimum_nll:.4f}, "
          f"yields {np.round(result.yields, 2)}, evaluations {result.objective_evaluations}")
    for point in log:
        print("  mu %.6f sigma %.6f slope %.6f" % point)
    log = []
    m = run_iminuit(data, start, log=log)
    print(f"iminuit: valid {m.valid}, NLL {m.fval:.4f}, calls {m.nfcn}")
    for point in log:
        print("  ns %.2f nb %.2f mu %.6f sigma %.6f slope %.6f  nll %.4f" % point)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--events", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=4, help="starts per fraction and width")
    parser.add_argument("--slack", type=float, default=0.01, help="NLL units above the global minimum")
    parser.add_argument("--trace", type=float, nargs=3, metavar=("FRACTION", "WIDTH", "MEAN"),
                        help="trace one start of a sample drawn with --seed")
    args = parser.parse_args()
    if args.trace:
        trace(args.seed, args.events, *args.trace)
    else:
        report(sweep(args.seed, args.events, args.repeats), args.slack)


if __name__ == "__main__":
    main()
