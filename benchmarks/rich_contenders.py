"""The richer fit (rich_toy) done by tarnwex, iminuit and RooFit, written as users would.

Each runner fits the four yields and the six shape parameters from the same
start, computes sWeights, and returns a `RichRun`.
"""

from __future__ import annotations

import functools
import time
from dataclasses import dataclass, field

import numpy as np

import rich_toy
from contenders import COST_CLASS_IMINUIT, PLAIN_IMINUIT
from toy import CallCounter, numpy_sweights


@dataclass
class RichRun:
    yields: np.ndarray
    shapes: dict
    sweights: np.ndarray
    seconds: float
    pdf_calls: int
    notes: dict = field(default_factory=dict)


def _start_yields(n: int) -> list:
    return [n / 4.0] * 4


def _counted(counter: CallCounter, x, p: dict) -> list:
    start = time.perf_counter()
    values = rich_toy.densities(x, p)
    counter.calls += 4
    counter.seconds += time.perf_counter() - start
    return values


# The shape parameters each component depends on.
DEPENDS = (("mu_a", "sigma_a"), ("mu_b", "sigma_b"), ("sigma_c",), ("slope",))


def run_tarnwex(data: np.ndarray, declared: bool = True) -> RichRun:
    import tarnwex

    counter = CallCounter()
    x = data[:, 0]

    def component(k):
        def pdf(d, p):
            start = time.perf_counter()
            f = _one(d[:, 0], p, k)
            counter.calls += 1
            counter.seconds += time.perf_counter() - start
            return f
        if declared:
            pdf.__tarnwex_parameters__ = DEPENDS[k]
        return pdf

    shapes = [tarnwex.ShapeParameter(n, rich_toy.START[n], *rich_toy.BOUNDS[n]) for n in rich_toy.NAMES]
    start = time.perf_counter()
    result = tarnwex.splot(data, [component(k) for k in range(4)], shape_parameters=shapes,
                           initial_yields=_start_yields(len(x)))
    seconds = time.perf_counter() - start
    return RichRun(np.array(result.yields), dict(result.shape_parameters), np.array(result.sweights),
                   seconds, counter.calls,
                   {"success": result.success, "splot_errors": np.sqrt(np.diag(result.covariance)),
                    "objective_evaluations": result.objective_evaluations,
                    "gradient_evaluations": result.gradient_evaluations})


def _one(x, p: dict, k: int):
    if k == 0:
        return rich_toy.gauss(x, p["mu_a"], p["sigma_a"])
    if k == 1:
        return rich_toy.gauss(x, p["mu_b"], p["sigma_b"])
    if k == 2:
        return rich_toy.gauss(x, rich_toy.BROAD_MEAN, p["sigma_c"])
    return rich_toy.expo(x, p["slope"])


def _finish(m, x, counter, start) -> RichRun:
    m.migrad()
    m.hesse()
    yields = np.array([m.values[f"n{k}"] for k in range(4)])
    shapes = {n: m.values[n] for n in rich_toy.NAMES}
    f = np.vstack(_counted(counter, x, shapes))
    sweights = numpy_sweights(f, yields)
    seconds = time.perf_counter() - start
    return RichRun(yields, shapes, sweights, seconds, counter.calls,
                   {"success": m.valid, "nfcn": m.nfcn})


def _limits(m) -> None:
    for k in range(4):
        m.limits[f"n{k}"] = (0.0, None)
    for n in rich_toy.NAMES:
        m.limits[n] = rich_toy.BOUNDS[n]


def run_iminuit_plain(data: np.ndarray) -> RichRun:
    from iminuit import Minuit

    x = np.ascontiguousarray(data[:, 0])
    counter = CallCounter()
    start = time.perf_counter()

    def nll(n0, n1, n2, n3, mu_a, sigma_a, mu_b, sigma_b, sigma_c, slope):
        p = {"mu_a": mu_a, "sigma_a": sigma_a, "mu_b": mu_b, "sigma_b": sigma_b,
             "sigma_c": sigma_c, "slope": slope}
        fa, fb, fc, fd = _counted(counter, x, p)
        d = n0 * fa + n1 * fb + n2 * fc + n3 * fd
        return n0 + n1 + n2 + n3 - np.sum(np.log(d))

    ys = _start_yields(len(x))
    m = Minuit(nll, n0=ys[0], n1=ys[1], n2=ys[2], n3=ys[3], **rich_toy.START)
    m.errordef = Minuit.LIKELIHOOD
    _limits(m)
    return _finish(m, x, counter, start)


def run_iminuit_cost_class(data: np.ndarray) -> RichRun:
    from iminuit import Minuit
    from iminuit.cost import ExtendedUnbinnedNLL

    x = np.ascontiguousarray(data[:, 0])
    counter = CallCounter()
    start = time.perf_counter()

    def model(x, n0, n1, n2, n3, mu_a, sigma_a, mu_b, sigma_b, sigma_c, slope):
        p = {"mu_a": mu_a, "sigma_a": sigma_a, "mu_b": mu_b, "sigma_b": sigma_b,
             "sigma_c": sigma_c, "slope": slope}
        fa, fb, fc, fd = _counted(counter, x, p)
        return n0 + n1 + n2 + n3, n0 * fa + n1 * fb + n2 * fc + n3 * fd

    ys = _start_yields(len(x))
    m = Minuit(ExtendedUnbinnedNLL(x, model), n0=ys[0], n1=ys[1], n2=ys[2], n3=ys[3], **rich_toy.START)
    _limits(m)
    return _finish(m, x, counter, start)


RICH_CONTENDERS = {
    "tarnwex.splot": run_tarnwex,
    "tarnwex.splot, PDFs undeclared": functools.partial(run_tarnwex, declared=False),
    PLAIN_IMINUIT: run_iminuit_plain,
    COST_CLASS_IMINUIT: run_iminuit_cost_class,
}


def run_roofit(data: np.ndarray) -> RichRun:
    """RooFit (cpu backend): extended fit with Minuit2 and Hesse, then RooStats::SPlot.

    RooFit's own Gaussians and exponential, normalised over the range by
    RooFit; every component has a free parameter, so nothing is computed once.
    """
    import ROOT

    ROOT.RooMsgService.instance().setGlobalKillBelow(ROOT.RooFit.WARNING)
    start = time.perf_counter()
    x = ROOT.RooRealVar("x", "x", rich_toy.LOW, rich_toy.HIGH)
    v = {name: ROOT.RooRealVar(name, name, rich_toy.START[name], *rich_toy.BOUNDS[name])
         for name in ("mu_a", "sigma_a", "mu_b", "sigma_b", "sigma_c")}
    # RooExponential is exp(c x): c = -slope.
    low, high = rich_toy.BOUNDS["slope"]
    c = ROOT.RooRealVar("c", "c", -rich_toy.START["slope"], -high, -low)
    broad_mean = ROOT.RooRealVar("broad_mean", "broad_mean", rich_toy.BROAD_MEAN)
    broad_mean.setConstant(True)
    components = [ROOT.RooGaussian("a", "a", x, v["mu_a"], v["sigma_a"]),
                  ROOT.RooGaussian("b", "b", x, v["mu_b"], v["sigma_b"]),
                  ROOT.RooGaussian("c_bump", "c_bump", x, broad_mean, v["sigma_c"]),
                  ROOT.RooExponential("d", "d", x, c)]
    n = float(len(data))
    yields = [ROOT.RooRealVar(f"n{k}", f"n{k}", y, 0.0, 2.0 * n)
              for k, y in enumerate(_start_yields(len(data)))]
    model = ROOT.RooAddPdf("model", "model", ROOT.RooArgList(*components),
                           ROOT.RooArgList(*yields))
    dataset = ROOT.RooDataSet.from_numpy({"x": np.ascontiguousarray(data[:, 0])},
                                         ROOT.RooArgSet(x))
    fit = model.fitTo(dataset, ROOT.RooFit.Extended(True), ROOT.RooFit.Minimizer("Minuit2"),
                      ROOT.RooFit.Hesse(True), ROOT.RooFit.EvalBackend("cpu"),
                      ROOT.RooFit.Save(True), ROOT.RooFit.PrintLevel(-1))
    for var in (*v.values(), c):
        var.setConstant(True)
    splot = ROOT.RooStats.SPlot("splot", "splot", dataset, model, ROOT.RooArgList(*yields))
    table = dataset.to_numpy()
    sweights = np.column_stack([table[f"n{k}_sw"] for k in range(4)])
    seconds = time.perf_counter() - start
    shapes = {name: var.getVal() for name, var in v.items()}
    shapes["slope"] = -c.getVal()
    return RichRun(np.array([y.getVal() for y in yields]), shapes, sweights, seconds, 0,
                   {"success": fit.status() == 0, "splot": splot})
