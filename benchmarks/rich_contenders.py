"""The richer fit (rich_toy) done by tarnwex, iminuit and RooFit, written as users would.

Each runner fits the four yields and the six shape parameters from the same
start, computes sWeights, and returns a `RichRun`.
"""

from __future__ import annotations

import functools
import math
import time
from dataclasses import dataclass, field

import numpy as np

import rich_toy
from contenders import COST_CLASS_IMINUIT, PLAIN_IMINUIT
from toy import CallCounter, fast_sweights, numpy_sweights, scaled_gauss_into


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


def _gauss_scale(mu: float, sigma: float) -> float:
    """1 / (Phi(b) - Phi(a)): what truncation to the range adds to the
    1 / (sqrt(2 pi) sigma) of toy.scaled_gauss_into."""
    lo, hi = rich_toy.LOW, rich_toy.HIGH
    return 1.0 / (rich_toy._phi((hi - mu) / sigma) - rich_toy._phi((lo - mu) / sigma))


def _component_into(k: int, x, x_shifted, p: dict, scale: float, out):
    """scale * f_k(x) written into `out`; x_shifted is x - LOW, computed once."""
    if k < 3:
        mu, sigma = ((p["mu_a"], p["sigma_a"]), (p["mu_b"], p["sigma_b"]),
                     (rich_toy.BROAD_MEAN, p["sigma_c"]))[k]
        return scaled_gauss_into(x, mu, sigma, scale * _gauss_scale(mu, sigma), out)
    slope = p["slope"]
    np.multiply(x_shifted, -slope, out=out)
    np.exp(out, out=out)
    np.multiply(out, scale * slope / -math.expm1(-slope * (rich_toy.HIGH - rich_toy.LOW)), out=out)
    return out


def _mixture_into(x, x_shifted, yields, p: dict, acc, tmp):
    """sum_k yields[k] f_k(x) written into `acc`, with `tmp` the only other
    buffer: nothing is allocated per call (see toy.scaled_gauss_into)."""
    _component_into(0, x, x_shifted, p, yields[0], acc)
    for k in (1, 2, 3):
        np.add(acc, _component_into(k, x, x_shifted, p, yields[k], tmp), out=acc)
    return acc


def run_iminuit_fastest(data: np.ndarray) -> RichRun:
    """The hand-written NumPy NLL as fast as a careful user writes it: no
    temporary per call, constants hoisted, sWeights forming f / d once."""
    from iminuit import Minuit

    x = np.ascontiguousarray(data[:, 0])
    counter = CallCounter()
    start = time.perf_counter()
    x_shifted = x - rich_toy.LOW
    acc = np.empty_like(x)
    tmp = np.empty_like(x)

    def nll(n0, n1, n2, n3, mu_a, sigma_a, mu_b, sigma_b, sigma_c, slope):
        p = {"mu_a": mu_a, "sigma_a": sigma_a, "mu_b": mu_b, "sigma_b": sigma_b,
             "sigma_c": sigma_c, "slope": slope}
        t = time.perf_counter()
        _mixture_into(x, x_shifted, (n0, n1, n2, n3), p, acc, tmp)
        counter.calls += 4
        counter.seconds += time.perf_counter() - t
        return n0 + n1 + n2 + n3 - np.sum(np.log(acc, out=acc))

    ys = _start_yields(len(x))
    m = Minuit(nll, n0=ys[0], n1=ys[1], n2=ys[2], n3=ys[3], **rich_toy.START)
    m.errordef = Minuit.LIKELIHOOD
    _limits(m)
    m.migrad()
    m.hesse()
    yields = np.array([m.values[f"n{k}"] for k in range(4)])
    shapes = {n: m.values[n] for n in rich_toy.NAMES}
    f = np.empty((4, len(x)))
    for k in range(4):
        _component_into(k, x, x_shifted, shapes, 1.0, f[k])
    counter.calls += 4
    sweights = fast_sweights(f, yields)
    seconds = time.perf_counter() - start
    return RichRun(yields, shapes, sweights, seconds, counter.calls,
                   {"success": m.valid, "nfcn": m.nfcn})


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
