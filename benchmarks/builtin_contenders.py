"""The fits with every shape free, done by tarnwex and by the peers' fastest workflows.

Two models, each a list of components over one column on [LOW, HIGH]:

- `toy_model`: the Gaussian on an exponential of benchmarks/toy.py, with the
  mean, the width AND the exponential's slope free (so no component is fixed);
- `RICH`: the three peaks on an exponential of benchmarks/rich_toy.py, six
  shapes free.

Every density is normalised on the range (the Gaussians are truncated to it),
and the exponential is proportional to exp(slope * x), the built-ins'
convention: rich_toy's exp(-slope x) is slope -> -slope here.

Runners, each returning a `Fit`:

- run_tarnwex_builtin: tarnwex with the built-in densities of tarnwex_pdfs;
- run_tarnwex_numpy: tarnwex with NumPy PDFs declaring their parameters;
- run_iminuit_numpy: iminuit, hand-written NumPy NLL writing into buffers
  allocated once (see toy.scaled_gauss_into for why);
- run_iminuit_numba: iminuit, an NLL compiled with numba from numba-stats'
  truncnorm and truncexpon (compiled once per process: warm it up);
- run_roofit: RooFit's cpu backend with its own RooGaussian and RooExponential,
  then RooStats::SPlot.
"""

from __future__ import annotations

import functools
import math
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

import rich_toy
import toy
from toy import fast_sweights, scaled_gauss_into

LOW, HIGH = toy.LOW, toy.HIGH
assert (rich_toy.LOW, rich_toy.HIGH) == (LOW, HIGH)


@dataclass(frozen=True)
class Model:
    """Components ("gauss", mu, sigma) or ("expo", slope); an argument is a
    parameter name or a fixed float. `parameters`: name -> (start, lower, upper)."""

    name: str
    components: tuple
    parameters: dict
    make_data: Callable[[int], np.ndarray]
    signal_fraction: float | None = None  # the toy's; None for the rich model

    @property
    def n_components(self) -> int:
        return len(self.components)

    def start_yields(self, n_events: int) -> list:
        return [n_events / self.n_components] * self.n_components

    def yield_names(self) -> list:
        return [f"n{k}" for k in range(self.n_components)]


# The toy's slope is 0.4 in exp(-0.4 x): -0.4 here; the start is 12 % off,
# like the mean and width's 4 % and 14 %.
TOY_START_SLOPE = -0.35
TOY_SLOPE_BOUNDS = (-1.0, -0.05)


def toy_model(signal_fraction: float = toy.SIGNAL_FRACTION) -> Model:
    return Model(f"toy, {signal_fraction:.0%} signal",
                 (("gauss", "mu", "sigma"), ("expo", "slope")),
                 {"mu": (toy.START_MU, *toy.MU_BOUNDS),
                  "sigma": (toy.START_SIGMA, *toy.SIGMA_BOUNDS),
                  "slope": (TOY_START_SLOPE, *TOY_SLOPE_BOUNDS)},
                 functools.partial(toy.make_data, signal_fraction=signal_fraction),
                 signal_fraction)


def _rich_parameters() -> dict:
    out = {}
    for name in rich_toy.NAMES:
        start, (lower, upper) = rich_toy.START[name], rich_toy.BOUNDS[name]
        out[name] = (-start, -upper, -lower) if name == "slope" else (start, lower, upper)
    return out


RICH = Model("rich", (("gauss", "mu_a", "sigma_a"), ("gauss", "mu_b", "sigma_b"),
                      ("gauss", rich_toy.BROAD_MEAN, "sigma_c"), ("expo", "slope")),
             _rich_parameters(), rich_toy.make_data)


@dataclass
class Fit:
    yields: np.ndarray
    shapes: dict
    sweights: np.ndarray
    seconds: float
    # Errors of the yields (n0, n1, ...) and the shapes, by name; None where
    # the contender gives none.
    errors: dict | None = None
    notes: dict = field(default_factory=dict)


def _value(arg, values: dict) -> float:
    return values[arg] if isinstance(arg, str) else float(arg)


def _depends(component) -> tuple:
    return tuple(a for a in component[1:] if isinstance(a, str))


# --- NumPy densities, written in place ---------------------------------------

def _phi(z: float) -> float:
    return 0.5 * (1.0 + math.erf(z * (1.0 / math.sqrt(2.0))))


def gauss_into(x, mu: float, sigma: float, scale: float, out):
    """scale times the Gaussian truncated to [LOW, HIGH], into `out`."""
    inside = _phi((HIGH - mu) / sigma) - _phi((LOW - mu) / sigma)
    return scaled_gauss_into(x, mu, sigma, scale / inside, out)


def expo_into(x_shifted, slope: float, scale: float, out):
    """scale times the exponential exp(slope x) normalised on [LOW, HIGH], into
    `out`; x_shifted is x - LOW, computed once."""
    np.multiply(x_shifted, slope, out=out)
    np.exp(out, out=out)
    np.multiply(out, scale * slope / math.expm1(slope * (HIGH - LOW)), out=out)
    return out


def component_into(component, x, x_shifted, values: dict, scale: float, out):
    if component[0] == "gauss":
        return gauss_into(x, _value(component[1], values), _value(component[2], values), scale, out)
    return expo_into(x_shifted, _value(component[1], values), scale, out)


def densities(model: Model, x: np.ndarray, values: dict) -> np.ndarray:
    """The K x N density table at shape point `values`."""
    x = np.ascontiguousarray(x)
    x_shifted = x - LOW
    f = np.empty((model.n_components, len(x)))
    for k, component in enumerate(model.components):
        component_into(component, x, x_shifted, values, 1.0, f[k])
    return f


def nll(model: Model, x: np.ndarray, yields, values: dict) -> float:
    """Extended NLL with unit weights, in the form tarnwex computes it: the
    common yardstick of every contender's fitted point."""
    d = np.asarray(yields) @ densities(model, x, values)
    return float(np.sum(yields) - np.sum(np.log(np.maximum(d, toy.DENSITY_FLOOR))))


# --- tarnwex -------------------------------------------------------------------

def _tarnwex_fit(model: Model, data: np.ndarray, pdfs: list, start: float, kind: str) -> Fit:
    import tarnwex

    shapes = [tarnwex.ShapeParameter(name, *setting) for name, setting in model.parameters.items()]
    result = tarnwex.splot(data, pdfs, shape_parameters=shapes,
                           initial_yields=model.start_yields(len(data)))
    seconds = time.perf_counter() - start
    errors = dict(zip(model.yield_names(), np.array(result.yield_errors)))
    errors.update(result.shape_errors)
    notes = {"valid": bool(result.success), "message": result.message, "kind": kind,
             "objective_evaluations": result.objective_evaluations,
             "gradient_evaluations": result.gradient_evaluations,
             "hessian_evaluations": result.hessian_evaluations}
    for name in ("distinct_points", "evaluated_points", "density_evaluations"):
        if hasattr(result, name):
            notes[name] = getattr(result, name)
    return Fit(np.array(result.yields), dict(result.shape_parameters), np.array(result.sweights),
               seconds, errors, notes)


def builtin_pdfs(model: Model) -> list:
    import tarnwex_pdfs as tp

    out = []
    for component in model.components:
        if component[0] == "gauss":
            out.append(tp.Gaussian(0, (LOW, HIGH), mu=component[1], sigma=component[2]))
        else:
            out.append(tp.Exponential(0, (LOW, HIGH), slope=component[1]))
    return out


def run_tarnwex_builtin(model: Model, data: np.ndarray) -> Fit:
    start = time.perf_counter()
    return _tarnwex_fit(model, data, builtin_pdfs(model), start, "built-in")


def run_tarnwex_numpy(model: Model, data: np.ndarray) -> Fit:
    """Each PDF fills one fresh array in place (tarnwex keeps the columns it
    is given, so a PDF cannot hand back a reused buffer) and declares the
    parameters it depends on."""
    start = time.perf_counter()
    x = np.ascontiguousarray(data[:, 0])
    x_shifted = x - LOW

    def pdf_of(component):
        def pdf(d, p):
            return component_into(component, x, x_shifted, p, 1.0, np.empty_like(x))
        pdf.__tarnwex_parameters__ = _depends(component)
        return pdf

    return _tarnwex_fit(model, data, [pdf_of(c) for c in model.components], start, "numpy")


# --- iminuit -------------------------------------------------------------------

def _minuit_fit(model: Model, x: np.ndarray, cost, start: float, table) -> Fit:
    """migrad + hesse on cost(par) from the common start, then NumPy sWeights
    from table(values) (a fresh K x N density table at the fitted shapes)."""
    from iminuit import Minuit

    names = model.yield_names() + list(model.parameters)
    x0 = model.start_yields(len(x)) + [setting[0] for setting in model.parameters.values()]
    m = Minuit(cost, x0, name=names)
    m.errordef = Minuit.LIKELIHOOD
    for name in model.yield_names():
        m.limits[name] = (0.0, None)
    for name, setting in model.parameters.items():
        m.limits[name] = setting[1:]
    m.migrad()
    m.hesse()
    k = model.n_components
    yields = np.array(m.values[:k])
    shapes = dict(zip(names[k:], m.values[k:]))
    sweights = fast_sweights(table(shapes), yields)
    seconds = time.perf_counter() - start
    return Fit(yields, shapes, sweights, seconds, dict(zip(names, m.errors)),
               {"valid": m.valid, "nfcn": m.nfcn})


def run_iminuit_numpy(model: Model, data: np.ndarray) -> Fit:
    start = time.perf_counter()
    x = np.ascontiguousarray(data[:, 0])
    x_shifted = x - LOW
    acc = np.empty_like(x)
    tmp = np.empty_like(x)
    k = model.n_components
    first, rest = model.components[0], tuple(enumerate(model.components))[1:]
    shape_names = tuple(model.parameters)

    def cost(par):
        values = dict(zip(shape_names, par[k:]))
        component_into(first, x, x_shifted, values, par[0], acc)
        for j, component in rest:
            np.add(acc, component_into(component, x, x_shifted, values, par[j], tmp), out=acc)
        return float(np.sum(par[:k])) - np.sum(np.log(acc, out=acc))

    return _minuit_fit(model, x, cost, start, lambda shapes: densities(model, x, shapes))


@functools.cache
def _numba_kernels(parallel: bool):
    """The compiled NLLs and density tables, one pair per model, compiled at
    their first call. With `parallel` the sum runs over numba's threads."""
    import numba as nb
    from numba_stats import truncexpon, truncnorm

    jit = nb.njit(fastmath=True, parallel=parallel)

    @jit
    def log_sum(d):
        s = 0.0
        for i in nb.prange(len(d)):
            s += np.log(d[i])
        return s

    @jit
    def toy_nll(x, ns, nb_, mu, sigma, slope):
        fs = truncnorm.pdf(x, LOW, HIGH, mu, sigma)
        fb = truncexpon.pdf(x, LOW, HIGH, LOW, -1.0 / slope)
        return ns + nb_ - log_sum(ns * fs + nb_ * fb)

    broad = float(rich_toy.BROAD_MEAN)

    @jit
    def rich_nll(x, n0, n1, n2, n3, mu_a, sigma_a, mu_b, sigma_b, sigma_c, slope):
        fa = truncnorm.pdf(x, LOW, HIGH, mu_a, sigma_a)
        fb = truncnorm.pdf(x, LOW, HIGH, mu_b, sigma_b)
        fc = truncnorm.pdf(x, LOW, HIGH, broad, sigma_c)
        fd = truncexpon.pdf(x, LOW, HIGH, LOW, -1.0 / slope)
        return n0 + n1 + n2 + n3 - log_sum(n0 * fa + n1 * fb + n2 * fc + n3 * fd)

    def table(model: Model, x, shapes: dict) -> np.ndarray:
        f = np.empty((model.n_components, len(x)))
        for k, c in enumerate(model.components):
            if c[0] == "gauss":
                f[k] = truncnorm.pdf(x, LOW, HIGH, _value(c[1], shapes), _value(c[2], shapes))
            else:
                f[k] = truncexpon.pdf(x, LOW, HIGH, LOW, -1.0 / _value(c[1], shapes))
        return f

    return {"toy": toy_nll, "rich": rich_nll}, table


def run_iminuit_numba(model: Model, data: np.ndarray, parallel: bool = False) -> Fit:
    kernels, table = _numba_kernels(parallel)
    start = time.perf_counter()
    x = np.ascontiguousarray(data[:, 0])
    kernel = kernels["rich" if model is RICH else "toy"]

    def cost(par):
        return kernel(x, *par)

    return _minuit_fit(model, x, cost, start, lambda shapes: table(model, x, shapes))


# --- RooFit --------------------------------------------------------------------

def run_roofit(model: Model, data: np.ndarray) -> Fit:
    """RooFit (cpu backend): extended fit with Minuit2 and Hesse, then
    RooStats::SPlot; RooFit normalises its own densities over the range."""
    import ROOT

    ROOT.RooMsgService.instance().setGlobalKillBelow(ROOT.RooFit.WARNING)
    start = time.perf_counter()
    x = ROOT.RooRealVar("x", "x", LOW, HIGH)
    free = {name: ROOT.RooRealVar(name, name, *setting) for name, setting in model.parameters.items()}
    keep = []  # RooFit holds references only: the constants must outlive the fit

    def var(arg):
        if isinstance(arg, str):
            return free[arg]
        v = ROOT.RooRealVar(f"c{len(keep)}", "constant", float(arg))
        v.setConstant(True)
        keep.append(v)
        return v

    components = []
    for k, c in enumerate(model.components):
        if c[0] == "gauss":
            components.append(ROOT.RooGaussian(f"f{k}", f"f{k}", x, var(c[1]), var(c[2])))
        else:
            components.append(ROOT.RooExponential(f"f{k}", f"f{k}", x, var(c[1])))
    n = float(len(data))
    yields = [ROOT.RooRealVar(name, name, y, 0.0, 2.0 * n)
              for name, y in zip(model.yield_names(), model.start_yields(len(data)))]
    pdf = ROOT.RooAddPdf("model", "model", ROOT.RooArgList(*components), ROOT.RooArgList(*yields))
    dataset = ROOT.RooDataSet.from_numpy({"x": np.ascontiguousarray(data[:, 0])}, ROOT.RooArgSet(x))
    fit = pdf.fitTo(dataset, ROOT.RooFit.Extended(True), ROOT.RooFit.Minimizer("Minuit2"),
                    ROOT.RooFit.Hesse(True), ROOT.RooFit.EvalBackend("cpu"),
                    ROOT.RooFit.Save(True), ROOT.RooFit.PrintLevel(-1))
    errors = {name: v.getError() for name, v in free.items()}
    errors.update({y.GetName(): y.getError() for y in yields})
    for v in free.values():
        v.setConstant(True)
    splot = ROOT.RooStats.SPlot("splot", "splot", dataset, pdf, ROOT.RooArgList(*yields))
    table = dataset.to_numpy()
    sweights = np.column_stack([table[f"{name}_sw"] for name in model.yield_names()])
    seconds = time.perf_counter() - start
    return Fit(np.array([y.getVal() for y in yields]), {name: v.getVal() for name, v in free.items()},
               sweights, seconds, errors, {"valid": fit.status() == 0, "splot": splot})


def roofit_available() -> str | None:
    """None when ROOT imports, else why not."""
    try:
        import ROOT  # noqa: F401

        ROOT.RooFit.EvalBackend  # noqa: B018 (the attribute is loaded lazily)
    except Exception as error:  # noqa: BLE001
        return f"{type(error).__name__}: {error}"
    return None


def builtins_available() -> str | None:
    try:
        import tarnwex_pdfs  # noqa: F401
    except Exception as error:  # noqa: BLE001
        return f"{type(error).__name__}: {error}"
    return None
