"""Does "Success" mean the minimum? tarnwex against iminuit over the fit families analysts meet.

Every fit is made twice from the same start, bounds, PDFs and weights: by
tarnwex, and by iminuit's migrad (twice) on the same NLL. A
tarnwex fit counts as right when, wherever iminuit converges, it ends in
Success at iminuit's minimum or lower (+1e-3), its `minimum_nll` is the NLL
recomputed at its parameters, and no PDF call saw a non-finite value or one
outside its parameter's bounds; with a small `max_steps` an honest step
limit message counts too.

    python benchmarks/success_sweep.py                 # seeds 0-9 of every family
    python benchmarks/success_sweep.py --seeds 3 --family huge-start
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass, field

import numpy as np

import tarnwex

LOW, HIGH = 0.0, 10.0
SLACK = 1e-3


def _ndtr(z):
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


@dataclass
class Watch:
    """Counts PDF calls whose parameters were not finite or left their bounds."""
    bounds: dict
    bad: list = field(default_factory=list)

    def check(self, p):
        for name, value in p.items():
            lo, hi = self.bounds[name]
            if not (math.isfinite(value) and lo <= value <= hi):
                self.bad.append((name, value))


def peak(watch, mu="mu", sigma="sigma", fixed=None):
    def pdf(d, p):
        watch.check(p)
        m, s = (fixed if fixed else (p[mu], p[sigma]))
        norm = s * math.sqrt(2.0 * math.pi) * (_ndtr((HIGH - m) / s) - _ndtr((LOW - m) / s))
        return np.exp(-0.5 * ((d[:, 0] - m) / s) ** 2) / norm
    return pdf


def falling(watch, slope="slope"):
    def pdf(d, p):
        watch.check(p)
        k = p[slope]
        return k * np.exp(-k * (d[:, 0] - LOW)) / -math.expm1(-k * (HIGH - LOW))
    return pdf


def flat(d, p):
    return np.full(len(d), 1.0 / (HIGH - LOW))


def exponential_sample(rng, n, k=0.3):
    return LOW - np.log1p(rng.uniform(size=n) * math.expm1(-k * (HIGH - LOW))) / k


def truncated_normal(rng, n, m, s):
    out = rng.normal(m, s, 3 * n + 20)
    return out[(out >= LOW) & (out <= HIGH)][:n]


@dataclass
class Case:
    family: str
    data: np.ndarray
    pdfs: list
    shapes: list
    watch: Watch
    yields: list | None = None
    weights: np.ndarray | None = None
    max_steps: int | None = None


def cases(family: str, seed: int) -> Case:
    rng = np.random.default_rng(seed)
    shapes = [tarnwex.ShapeParameter("mu", 5.2, 1.0, 9.0), tarnwex.ShapeParameter("sigma", 0.6, 0.05, 3.0),
              tarnwex.ShapeParameter("slope", 0.1, 0.01, 2.0)]
    watch = Watch({s.name: (s.lower, s.upper) for s in shapes})
    sb = [peak(watch), falling(watch)]
    if family == "pure-signal":
        return Case(family, truncated_normal(rng, 5000, 5.0, 0.5), sb, shapes, watch)
    if family == "background-only":
        return Case(family, exponential_sample(rng, 2000), sb, shapes, watch)
    if family == "peak-at-edge":
        data = np.concatenate([truncated_normal(rng, 600, 0.6, 0.4), exponential_sample(rng, 3000)])
        return Case(family, data, sb, shapes, watch)
    if family == "huge-start":
        data = np.concatenate([rng.normal(5.0, 0.5, 250), rng.uniform(LOW, HIGH, 750)])
        data = data[(data >= LOW) & (data <= HIGH)]
        start = len(data) * 10.0 ** rng.uniform(-3, 13)
        return Case(family, data, [peak(watch, fixed=(5.0, 0.5)), flat], [], watch, [start, start])
    if family == "many-components":
        data = np.concatenate([truncated_normal(rng, 500, 3.0, 0.3), truncated_normal(rng, 400, 7.0, 0.4),
                               exponential_sample(rng, 3000), rng.uniform(LOW, HIGH, 800)])
        shapes = [tarnwex.ShapeParameter("m1", 3.3, 1.0, 5.0), tarnwex.ShapeParameter("s1", 0.5, 0.05, 2.0),
                  tarnwex.ShapeParameter("m2", 6.8, 5.0, 9.0), tarnwex.ShapeParameter("s2", 0.5, 0.05, 2.0),
                  tarnwex.ShapeParameter("slope", 0.2, 0.01, 2.0)]
        watch = Watch({s.name: (s.lower, s.upper) for s in shapes})
        pdfs = [peak(watch, "m1", "s1"), peak(watch, "m2", "s2"), falling(watch), flat]
        return Case(family, data, pdfs, shapes, watch)
    if family in ("efficiency-weights", "signed-weights"):
        data = np.concatenate([truncated_normal(rng, 800, 5.0, 0.5), exponential_sample(rng, 3000)])
        if family == "efficiency-weights":
            weights = rng.uniform(0.1, 1.9, len(data))
        else:
            control = exponential_sample(rng, 1500)
            data = np.concatenate([data, control])
            weights = np.concatenate([np.ones(len(data) - len(control)), -np.ones(len(control))])
        return Case(family, data, sb, shapes, watch, weights=weights)
    if family == "max-steps":
        data = np.concatenate([truncated_normal(rng, 800, 5.0, 0.5), exponential_sample(rng, 3000)])
        return Case(family, data, sb, shapes, watch, max_steps=20)
    raise ValueError(family)


FAMILIES = ["pure-signal", "background-only", "peak-at-edge", "huge-start", "many-components",
            "efficiency-weights", "signed-weights", "max-steps"]


def nll_function(case: Case):
    names = [s.name for s in case.shapes]
    k = len(case.pdfs)
    data = case.data.reshape(-1, 1)
    w = np.ones(len(data)) if case.weights is None else case.weights

    # The watch has been read (judge) before this NLL calls the PDFs.
    def nll(*values):
        p = dict(zip(names, values[k:]))
        density = sum(y * pdf(data, p) for y, pdf in zip(values[:k], case.pdfs))
        return float(sum(values[:k]) - np.sum(w * np.log(np.maximum(density, 1e-300))))
    return nll


def reference(case: Case, start):
    import iminuit
    nll = nll_function(case)
    m = iminuit.Minuit(nll, *start)
    m.errordef = iminuit.Minuit.LIKELIHOOD
    m.limits = [(2.220446049250313e-16, None)] * len(case.pdfs) + [(s.lower, s.upper) for s in case.shapes]
    m.migrad()
    m.migrad()
    return m.fval, m.valid


def judge(case: Case) -> tuple[bool, str]:
    data = case.data.reshape(-1, 1)
    k = len(case.pdfs)
    total = len(data) if case.weights is None else float(np.sum(case.weights))
    start_yields = case.yields or [total / k] * k
    start = list(start_yields) + [s.initial for s in case.shapes]
    try:
        result = tarnwex.splot(data, case.pdfs, shape_parameters=case.shapes, initial_yields=case.yields,
                               weights=case.weights, max_steps=case.max_steps)
    except tarnwex.SPlotError as error:
        return False, f"error: {error}"
    if case.watch.bad:
        return False, f"PDF saw {case.watch.bad[:2]}"
    values = list(result.yields) + [result.shape_parameters[s.name] for s in case.shapes]
    recomputed = nll_function(case)(*values)
    if not math.isclose(recomputed, result.minimum_nll, rel_tol=1e-9, abs_tol=1e-6):
        return False, f"minimum_nll {result.minimum_nll} is not the NLL at its parameters ({recomputed})"
    if case.max_steps is not None and not result.success:
        return result.message.startswith("Message: Maximum number of steps"), result.message
    best, valid = reference(case, start)
    if not result.success:
        return not valid, f"{result.message} (iminuit valid: {valid})"
    return result.minimum_nll <= best + SLACK, f"NLL {result.minimum_nll - best:+.4f} against iminuit"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--family", choices=FAMILIES, action="append")
    args = parser.parse_args()
    total = right = 0
    for family in args.family or FAMILIES:
        ok = 0
        for seed in range(args.seeds):
            good, why = judge(cases(family, seed))
            ok += good
            if not good:
                print(f"  {family} seed {seed}: {why}")
        print(f"{family}: {ok}/{args.seeds}")
        total += args.seeds
        right += ok
    print(f"all: {right}/{total}")


if __name__ == "__main__":
    main()
