"""One function per way of doing the same sPlot analysis of the toy data.

Each runner fits the yields (and, with `shapes`, the Gaussian's mean and
width) from the same start point, then computes sWeights, and returns a
`Run`. It is written the way a user of that tool would write it; the
densities are the vectorised NumPy functions of `toy`, reached through a
`CallCounter` so every full evaluation is counted, except in `run_roofit`,
which uses RooFit's own densities (and counts no calls).
"""

from __future__ import annotations

import functools
import time
from dataclasses import dataclass, field

import numpy as np

import toy

YIELD_LOWER = 2.220446049250313e-16


@dataclass
class Run:
    point: toy.FitPoint
    sweights: np.ndarray
    seconds: float
    pdf_calls: int
    pdf_seconds: float = 0.0
    yield_errors: np.ndarray | None = None
    notes: dict = field(default_factory=dict)


def _start_yields(n_events: int) -> list[float]:
    return [n_events / 2.0, n_events / 2.0]


def _fixed_shape(shapes: bool) -> tuple[float, float]:
    return (toy.START_MU, toy.START_SIGMA) if shapes else (toy.TRUE_MU, toy.TRUE_SIGMA)


def declare(pdfs, *parameters) -> list:
    """Each PDF says which shape parameters it depends on, as a careful user writes it."""
    for pdf, names in zip(pdfs, parameters):
        pdf.__tarnwex_parameters__ = names
    return pdfs


def run_tarnwex(data: np.ndarray, shapes: bool, declared: bool = True) -> Run:
    import tarnwex

    counter = toy.CallCounter()
    if shapes:
        pdfs = [
            lambda d, p: counter.gauss(d[:, 0], p["mu"], p["sigma"]),
            lambda d, p: counter.expo(d[:, 0]),
        ]
        shape_parameters = [
            tarnwex.ShapeParameter("mu", toy.START_MU, *toy.MU_BOUNDS),
            tarnwex.ShapeParameter("sigma", toy.START_SIGMA, *toy.SIGMA_BOUNDS),
        ]
    else:
        pdfs = [
            lambda d, p: counter.gauss(d[:, 0], toy.TRUE_MU, toy.TRUE_SIGMA),
            lambda d, p: counter.expo(d[:, 0]),
        ]
        shape_parameters = None
    if declared:
        declare(pdfs, ("mu", "sigma") if shapes else (), ())
    start = time.perf_counter()
    result = tarnwex.splot(data, pdfs, shape_parameters=shape_parameters,
                           initial_yields=_start_yields(len(data)))
    seconds = time.perf_counter() - start
    fitted = result.shape_parameters
    mu, sigma = (fitted["mu"], fitted["sigma"]) if shapes else _fixed_shape(False)
    return Run(toy.FitPoint(np.array(result.yields), mu, sigma), np.array(result.sweights), seconds,
               counter.calls, counter.seconds, np.array(result.yield_errors),
               {"success": result.success, "message": result.message,
                "splot_errors": np.sqrt(np.diag(result.covariance)),
                "objective_evaluations": result.objective_evaluations,
                "gradient_evaluations": result.gradient_evaluations})


def _limit(m, shapes: bool):
    m.limits["ns"] = m.limits["nb"] = (0.0, None)
    m.limits["mu"] = toy.MU_BOUNDS
    m.limits["sigma"] = toy.SIGMA_BOUNDS
    if not shapes:
        m.fixed["mu"] = m.fixed["sigma"] = True
    return m


def _minuit(x: np.ndarray, counter: toy.CallCounter, shapes: bool):
    from iminuit import Minuit
    from iminuit.cost import ExtendedUnbinnedNLL

    def model(x, ns, nb, mu, sigma):
        return ns + nb, ns * counter.gauss(x, mu, sigma) + nb * counter.expo(x)

    ns, nb = _start_yields(len(x))
    mu, sigma = _fixed_shape(shapes)
    m = Minuit(ExtendedUnbinnedNLL(x, model), ns=ns, nb=nb, mu=mu, sigma=sigma)
    return _limit(m, shapes)


def _minuit_plain(x: np.ndarray, counter: toy.CallCounter, shapes: bool):
    """The NLL written out as a function, as most users write it for Minuit."""
    from iminuit import Minuit

    def nll(ns, nb, mu, sigma):
        d = ns * counter.gauss(x, mu, sigma) + nb * counter.expo(x)
        return ns + nb - np.sum(np.log(d))

    ns, nb = _start_yields(len(x))
    mu, sigma = _fixed_shape(shapes)
    m = Minuit(nll, ns=ns, nb=nb, mu=mu, sigma=sigma)
    m.errordef = Minuit.LIKELIHOOD
    return _limit(m, shapes)


def _minuit_precomputed(x: np.ndarray, counter: toy.CallCounter):
    """Yields only, with the density table computed once: what an expert writes."""
    from iminuit import Minuit
    from iminuit.cost import ExtendedUnbinnedNLL

    fs = counter.gauss(x, toy.TRUE_MU, toy.TRUE_SIGMA)
    fb = counter.expo(x)

    def model(x, ns, nb):
        return ns + nb, ns * fs + nb * fb

    ns, nb = _start_yields(len(x))
    m = Minuit(ExtendedUnbinnedNLL(x, model), ns=ns, nb=nb)
    m.limits["ns"] = m.limits["nb"] = (0.0, None)
    return m


def _finish_minuit(m, x, counter, start, extra_notes=None):
    m.migrad()
    m.hesse()
    fit_seconds = time.perf_counter() - start
    point = toy.FitPoint(np.array([m.values["ns"], m.values["nb"]]),
                         m.values["mu"] if "mu" in m.parameters else toy.TRUE_MU,
                         m.values["sigma"] if "sigma" in m.parameters else toy.TRUE_SIGMA)
    f = np.vstack([counter.gauss(x, point.mu, point.sigma), counter.expo(x)])
    sweights = toy.numpy_sweights(f, point.yields)
    seconds = time.perf_counter() - start
    notes = {"valid": m.valid, "nfcn": m.nfcn, "fit_seconds": fit_seconds}
    notes.update(extra_notes or {})
    return Run(point, sweights, seconds, counter.calls, counter.seconds,
               np.array([m.errors["ns"], m.errors["nb"]]), notes)


def run_iminuit(data: np.ndarray, shapes: bool) -> Run:
    x = np.ascontiguousarray(data[:, 0])
    counter = toy.CallCounter()
    start = time.perf_counter()
    return _finish_minuit(_minuit(x, counter, shapes), x, counter, start)


def run_iminuit_plain(data: np.ndarray, shapes: bool) -> Run:
    x = np.ascontiguousarray(data[:, 0])
    counter = toy.CallCounter()
    start = time.perf_counter()
    return _finish_minuit(_minuit_plain(x, counter, shapes), x, counter, start)


def run_iminuit_precomputed(data: np.ndarray, shapes: bool) -> Run:
    if shapes:
        raise ValueError("precomputed densities only serve a yields-only fit")
    x = np.ascontiguousarray(data[:, 0])
    counter = toy.CallCounter()
    start = time.perf_counter()
    return _finish_minuit(_minuit_precomputed(x, counter), x, counter, start)


def sweights_package(x: np.ndarray, point: toy.FitPoint) -> tuple[np.ndarray, float, toy.CallCounter]:
    """sWeights from the `sweights` package ("summation" method) at a fitted point.

    Returns the weights, the seconds taken and the counter of density calls
    (its numerical normalisation integrals call the densities on scalars too).
    """
    from sweights import SWeight

    counter = toy.CallCounter()
    start = time.perf_counter()
    sw = SWeight(x, pdfs=[lambda v: counter.gauss(v, point.mu, point.sigma), counter.expo],
                 yields=list(point.yields), discvarranges=((toy.LOW, toy.HIGH),),
                 method="summation", checks=False)
    weights = np.column_stack([sw.get_weight(k, x) for k in range(2)])
    return weights, time.perf_counter() - start, counter


def run_scipy(data: np.ndarray, shapes: bool) -> Run:
    from scipy.optimize import minimize

    x = np.ascontiguousarray(data[:, 0])
    counter = toy.CallCounter()
    fixed_mu, fixed_sigma = _fixed_shape(False)

    def nll(p):
        mu, sigma = (p[2], p[3]) if shapes else (fixed_mu, fixed_sigma)
        d = p[0] * counter.gauss(x, mu, sigma) + p[1] * counter.expo(x)
        return p[0] + p[1] - np.sum(np.log(np.maximum(d, toy.DENSITY_FLOOR)))

    start = time.perf_counter()
    x0 = _start_yields(len(x))
    bounds = [(YIELD_LOWER, None), (YIELD_LOWER, None)]
    if shapes:
        x0 += [toy.START_MU, toy.START_SIGMA]
        bounds += [toy.MU_BOUNDS, toy.SIGMA_BOUNDS]
    res = minimize(nll, np.array(x0), method="L-BFGS-B", bounds=bounds)
    mu, sigma = (res.x[2], res.x[3]) if shapes else (fixed_mu, fixed_sigma)
    point = toy.FitPoint(np.array(res.x[:2]), float(mu), float(sigma))
    f = np.vstack([counter.gauss(x, point.mu, point.sigma), counter.expo(x)])
    sweights = toy.numpy_sweights(f, point.yields)
    seconds = time.perf_counter() - start
    return Run(point, sweights, seconds, counter.calls, counter.seconds, None,
               {"success": bool(res.success), "message": str(res.message), "nfev": res.nfev})


def _fixed_columns(x: np.ndarray, counter: toy.CallCounter, shapes: bool):
    """What a careful user computes once: every component without a free parameter."""
    fb = counter.expo(x)
    fs = None if shapes else counter.gauss(x, toy.TRUE_MU, toy.TRUE_SIGMA)
    return fs, fb


def run_tarnwex_careful(data: np.ndarray, shapes: bool, declared: bool = True) -> Run:
    """tarnwex with the fixed components computed once, before the fit, and
    (unless `declared` is False) each PDF declaring its shape parameters."""
    import tarnwex

    x = np.ascontiguousarray(data[:, 0])
    counter = toy.CallCounter()
    start = time.perf_counter()
    fs, fb = _fixed_columns(x, counter, shapes)
    if shapes:
        pdfs = [lambda d, p: counter.gauss(x, p["mu"], p["sigma"]), lambda d, p: fb]
        shape_parameters = [
            tarnwex.ShapeParameter("mu", toy.START_MU, *toy.MU_BOUNDS),
            tarnwex.ShapeParameter("sigma", toy.START_SIGMA, *toy.SIGMA_BOUNDS),
        ]
    else:
        pdfs = [lambda d, p: fs, lambda d, p: fb]
        shape_parameters = None
    if declared:
        declare(pdfs, ("mu", "sigma") if shapes else (), ())
    result = tarnwex.splot(data, pdfs, shape_parameters=shape_parameters,
                           initial_yields=_start_yields(len(data)))
    seconds = time.perf_counter() - start
    fitted = result.shape_parameters
    mu, sigma = (fitted["mu"], fitted["sigma"]) if shapes else _fixed_shape(False)
    return Run(toy.FitPoint(np.array(result.yields), mu, sigma), np.array(result.sweights), seconds,
               counter.calls, counter.seconds, np.array(result.yield_errors),
               {"success": result.success, "splot_errors": np.sqrt(np.diag(result.covariance)),
                "objective_evaluations": result.objective_evaluations,
                "hessian_evaluations": result.hessian_evaluations})


def run_iminuit_fastest(data: np.ndarray, shapes: bool) -> Run:
    """iminuit's fastest workflow: a hand-written NumPy NLL, fixed components computed once.

    The NLL writes into two buffers allocated once (see toy.scaled_gauss_into)
    and the sWeights form f / d once.
    """
    from iminuit import Minuit

    x = np.ascontiguousarray(data[:, 0])
    counter = toy.CallCounter()
    start = time.perf_counter()
    fs, fb = _fixed_columns(x, counter, shapes)
    buf = np.empty_like(x)
    tmp = np.empty_like(x)
    if shapes:
        def nll(ns, nb, mu, sigma):
            counter.scaled_gauss_into(x, mu, sigma, ns, buf)
            np.multiply(fb, nb, out=tmp)
            np.add(buf, tmp, out=buf)
            return ns + nb - np.sum(np.log(buf, out=buf))
    else:
        def nll(ns, nb, mu, sigma):
            np.multiply(fs, ns, out=buf)
            np.multiply(fb, nb, out=tmp)
            np.add(buf, tmp, out=buf)
            return ns + nb - np.sum(np.log(buf, out=buf))
    ns, nb = _start_yields(len(x))
    mu, sigma = _fixed_shape(shapes)
    m = Minuit(nll, ns=ns, nb=nb, mu=mu, sigma=sigma)
    m.errordef = Minuit.LIKELIHOOD
    _limit(m, shapes)
    m.migrad()
    m.hesse()
    point = toy.FitPoint(np.array([m.values["ns"], m.values["nb"]]), m.values["mu"],
                         m.values["sigma"])
    f = np.empty((2, len(x)))
    if shapes:
        counter.scaled_gauss_into(x, point.mu, point.sigma, 1.0, f[0])
    else:
        f[0] = fs
    f[1] = fb
    sweights = toy.fast_sweights(f, point.yields)
    seconds = time.perf_counter() - start
    return Run(point, sweights, seconds, counter.calls, counter.seconds,
               np.array([m.errors["ns"], m.errors["nb"]]), {"valid": m.valid, "nfcn": m.nfcn})


def run_roofit(data: np.ndarray, shapes: bool) -> Run:
    """RooFit (cpu backend): extended fit with Minuit2 and Hesse, then RooStats::SPlot.

    The densities are RooFit's own Gaussian and exponential, normalised over
    the range by RooFit; the background has no free parameter.
    """
    import ROOT

    ROOT.RooMsgService.instance().setGlobalKillBelow(ROOT.RooFit.WARNING)
    start = time.perf_counter()
    x = ROOT.RooRealVar("x", "x", toy.LOW, toy.HIGH)
    mu = ROOT.RooRealVar("mu", "mu", *_fixed_shape(shapes)[:1], *toy.MU_BOUNDS)
    sigma = ROOT.RooRealVar("sigma", "sigma", _fixed_shape(shapes)[1], *toy.SIGMA_BOUNDS)
    mu.setConstant(not shapes)
    sigma.setConstant(not shapes)
    slope = ROOT.RooRealVar("slope", "slope", -toy.SLOPE)
    slope.setConstant(True)
    signal = ROOT.RooGaussian("signal", "signal", x, mu, sigma)
    background = ROOT.RooExponential("background", "background", x, slope)
    ns0, nb0 = _start_yields(len(data))
    n = float(len(data))
    ns = ROOT.RooRealVar("ns", "ns", ns0, 0.0, 2.0 * n)
    nb = ROOT.RooRealVar("nb", "nb", nb0, 0.0, 2.0 * n)
    model = ROOT.RooAddPdf("model", "model", ROOT.RooArgList(signal, background),
                           ROOT.RooArgList(ns, nb))
    dataset = ROOT.RooDataSet.from_numpy({"x": np.ascontiguousarray(data[:, 0])},
                                         ROOT.RooArgSet(x))
    fit = model.fitTo(dataset, ROOT.RooFit.Extended(True), ROOT.RooFit.Minimizer("Minuit2"),
                      ROOT.RooFit.Hesse(True), ROOT.RooFit.EvalBackend("cpu"),
                      ROOT.RooFit.Save(True), ROOT.RooFit.PrintLevel(-1))
    for v in (mu, sigma):
        v.setConstant(True)
    splot = ROOT.RooStats.SPlot("splot", "splot", dataset, model, ROOT.RooArgList(ns, nb))
    table = dataset.to_numpy()
    sweights = np.column_stack([table["ns_sw"], table["nb_sw"]])
    seconds = time.perf_counter() - start
    point = toy.FitPoint(np.array([ns.getVal(), nb.getVal()]), mu.getVal(), sigma.getVal())
    return Run(point, sweights, seconds, 0, 0.0, np.array([ns.getError(), nb.getError()]),
               {"valid": fit.status() == 0, "splot": splot})


# iminuit's ExtendedUnbinnedNLL sorts the N log terms on every call (for a
# more accurate sum), which at 10^6 events costs about as much as the PDFs:
# both ways of writing it are common, the plain function is the yardstick.
PLAIN_IMINUIT = "iminuit (plain NLL function) + NumPy sWeights"
COST_CLASS_IMINUIT = "iminuit (ExtendedUnbinnedNLL, sorts its log terms) + NumPy sWeights"

CONTENDERS = {
    "tarnwex.splot": run_tarnwex,
    "tarnwex.splot, PDFs undeclared": functools.partial(run_tarnwex, declared=False),
    PLAIN_IMINUIT: run_iminuit_plain,
    COST_CLASS_IMINUIT: run_iminuit,
    "iminuit (densities precomputed) + NumPy sWeights": run_iminuit_precomputed,
    "scipy L-BFGS-B + NumPy sWeights": run_scipy,
}
