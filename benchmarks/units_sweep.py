"""Are tarnwex fits equivariant under changes of units?

Every case fits one model twice: in natural units, and again with the data,
a shape parameter or the event weights expressed in other units (the PDFs
written for those units, or undoing the change). Mapped back to natural
units, the second fit should be the first one. A case agrees when

- the transformed fit ends in Success whenever the natural one does,
- every yield and shape parameter, mapped back, lies within 0.01 of its
  natural-units error of the natural value, and
- every error, mapped back, lies within 0.5 % of the natural one.

Families: lifetime (data and tau in units s, or tau alone), mass peak
(MeV, GeV, TeV, keV, eV), weighted fits (weights times c: yields and their
errors scale by c, shapes and theirs do not), an affine change a*p + b of
one parameter with an offset of 1e2..1e4 of its error, and narrow boxes
(no twin: these pass when the fit ends in Success with finite errors).

    python benchmarks/units_sweep.py            # every case
    python benchmarks/units_sweep.py --quick    # a subset

Set PYTHONPATH to test another build of the module.
"""

from __future__ import annotations

import argparse
import math

import numpy as np

import tarnwex

SP = tarnwex.ShapeParameter
SHIFT_LIMIT, ERROR_LIMIT = 0.01, 0.005
SCALES = [1e-12, 1e-9, 1e-6, 1e-5, 1e-3, 1e3, 1e6, 1e9, 1e12]
UNITS = {"GeV": 1e-3, "TeV": 1e-6, "keV": 1e3, "eV": 1e6}
WEIGHT_FACTORS = [1e-9, 1e-6, 1e-3, 1e3, 1e6, 1e8, 1e9]
AFFINE_A, AFFINE_K = [1.0, -1.0, 1e-3, 1e3], [1e2, 1e3, 1e4]
LO, HI = 5200.0, 5400.0                       # mass range in MeV
MASS = {"mu": (5270.0, 5200.0, 5350.0), "sigma": (30.0, 5.0, 80.0), "lam": (0.005, 1e-4, 0.05)}
ROWS: list[tuple] = []


def attempt(fit):
    try:
        return fit()
    except Exception as exc:  # noqa: BLE001 - every failure is a result here
        return exc


def evals(r):
    return "-" if r is None or isinstance(r, Exception) else f"{r.objective_evaluations}/{r.gradient_evaluations}"


def error_text(r):
    return f"ERROR {type(r).__name__}: {r}"


def compare(family, transform, nat, tr, maps=None, c=1.0):
    """Record one case. maps[name] = (a, b): transformed = a * natural + b; yields scale by c."""
    shift = dev = math.nan
    if isinstance(nat, Exception) or isinstance(tr, Exception):
        status = error_text(nat if isinstance(nat, Exception) else tr)
    else:
        maps = maps or {}
        names = [f"N{i}" for i in range(len(nat.yields))]
        rows = [(nat.yields[i], nat.yield_errors[i], tr.yields[i] / c, tr.yield_errors[i] / abs(c))
                for i in range(len(nat.yields))]
        for name, v in nat.shape_parameters.items():
            a, b = maps.get(name, (1.0, 0.0))
            names.append(name)
            rows.append((v, nat.shape_errors[name], (tr.shape_parameters[name] - b) / a,
                         tr.shape_errors[name] / abs(a)))
        vn, en, vt, et = np.array(rows, dtype=float).T
        with np.errstate(all="ignore"):
            shifts, devs = np.abs(vt - vn) / en, np.abs(et / en - 1.0)
        shift, dev = np.max(shifts), np.max(devs)
        bad = [n for n, s, d in zip(names, shifts, devs) if not (s <= SHIFT_LIMIT and d <= ERROR_LIMIT)]
        if nat.success and not tr.success:
            status = f"FAIL ({tr.message})"
        elif bad:
            status = "DIFFER: " + ", ".join(bad)
        else:
            status = "agree"
    ROWS.append((family, transform, status, shift, dev, evals(nat), evals(tr)))


def affine_bounds(name, start, lo, hi, a, b):
    return SP(name, a * start + b, *sorted((a * lo + b, a * hi + b)))


# --- 1. lifetime -------------------------------------------------------------

def lifetime(pick):
    rng = np.random.default_rng(5)
    x = np.concatenate([rng.exponential(1.5, 3000), rng.uniform(0.0, 10.0, 2000)])
    x = x[x < 10.0][:, None]

    def fit(ds=1.0, a=1.0, b=0.0):
        """Data in units ds; the parameter is a*tau + b in units of tau; the PDF undoes it."""
        length, k = 10.0 * ds, ds / a          # k is exactly 1 when data and tau share units

        def decay(d, p):
            tau = (p["tau"] - b) * k
            return np.exp(-d[:, 0] / tau) / (tau * -math.expm1(-length / tau))
        flat = lambda d, p: np.full(len(d), 1.0 / length)  # noqa: E731
        return tarnwex.splot(x * ds, [decay, flat], shape_parameters=[affine_bounds("tau", 1.0, 0.1, 5.0, a, b)])

    nat = attempt(fit)
    for s in pick(SCALES):
        compare("lifetime", f"data, tau x{s:g}", nat, attempt(lambda: fit(s, s)), {"tau": (s, 0.0)})
    for s in pick(SCALES):
        compare("lifetime", f"tau alone x{s:g}", nat, attempt(lambda: fit(1.0, s)), {"tau": (s, 0.0)})
    return fit, nat


# --- 2. mass peak ------------------------------------------------------------

def mass_sample(rng, n_sig, n_bkg, lam):
    sig = rng.normal(5279.6, 20.0, n_sig)
    u = rng.uniform(size=n_bkg)
    bkg = LO - np.log1p(u * math.expm1(-lam * (HI - LO))) / lam if lam else LO + (HI - LO) * u
    x = np.concatenate([sig, bkg])
    return x[(x > LO) & (x < HI)][:, None]


def mass_fit(x, kind, u=1.0, w=None, affine=None):
    """Gaussian + flat or exponential background in units u (1 = MeV).

    affine = (name, a, b) writes that parameter as a*p + b (p in units u) and
    the PDFs undo it. Returns the fit thunk and the map to natural units."""
    names = ["mu", "sigma"] + (["lam"] if kind == "expo" else [])
    unit = {"mu": u, "sigma": u, "lam": 1.0 / u}
    target, a, b = affine or (None, 1.0, 0.0)
    maps = {n: (unit[n] * (a if n == target else 1.0), b if n == target else 0.0) for n in names}
    lo, hi = LO * u, HI * u

    def val(p, n):
        return (p[n] - b) / a if n == target else p[n]

    def peak(d, p):
        m, s = val(p, "mu"), val(p, "sigma")
        r = s * math.sqrt(2.0)
        norm = s * math.sqrt(2.0 * math.pi) * 0.5 * (math.erf((hi - m) / r) - math.erf((lo - m) / r))
        return np.exp(-0.5 * ((d[:, 0] - m) / s) ** 2) / norm

    def background(d, p):
        if kind == "flat":
            return np.full(len(d), 1.0 / (hi - lo))
        k = val(p, "lam")
        return k * np.exp(-k * (d[:, 0] - lo)) / -math.expm1(-k * (hi - lo))

    params = []
    for n in names:
        start, low, up = MASS[n]
        sa, sb = maps[n]
        params.append(affine_bounds(n, start, low, up, sa, sb))
    return (lambda: tarnwex.splot(x * u, [peak, background], shape_parameters=params, weights=w)), maps


def mass(pick):
    fits = {}
    for kind, lam, seed in (("flat", 0.0, 1), ("expo", 0.01, 2)):
        x = mass_sample(np.random.default_rng(seed), 1500, 3000, lam)
        nat = attempt(mass_fit(x, kind)[0])
        fits[kind] = (x, nat)
        for unit, u in pick(list(UNITS.items())):
            run, maps = mass_fit(x, kind, u)
            compare(f"mass/{kind}", f"MeV -> {unit}", nat, attempt(run), maps)
    return fits


# --- 3. weighted fits ------------------------------------------------------

def weighted(pick):
    rng = np.random.default_rng(11)
    x = mass_sample(rng, 1200, 2800, 0.01)
    w = rng.uniform(0.3, 1.7, len(x))
    nat = attempt(mass_fit(x, "expo", w=w)[0])
    for c in pick(WEIGHT_FACTORS):
        compare("weighted", f"weights x{c:g}", nat, attempt(mass_fit(x, "expo", w=w * c)[0]), c=c)


# --- 4. affine change of one parameter ---------------------------------------

def affine(pick, lifetime_fit, lifetime_nat, mass_fits):
    targets = [("mass/flat", "mu"), ("mass/flat", "sigma"), ("mass/expo", "lam"), ("lifetime", "tau")]
    for family, name in targets:
        nat = lifetime_nat if family == "lifetime" else mass_fits[family.split("/")[1]][1]
        if isinstance(nat, Exception):
            err = 1.0                      # the case still runs and records the failure
        else:
            err = nat.shape_errors[name]
            err = err if math.isfinite(err) and err > 0 else 1.0
        for a in pick(AFFINE_A):
            for k in pick(AFFINE_K):
                label = f"{name} -> {a:g}*{name} + {k:g} err"
                if family == "lifetime":
                    b = k * abs(a) * err
                    compare(family, label, nat, attempt(lambda: lifetime_fit(1.0, a, b)), {"tau": (a, b)})
                else:
                    x, kind = mass_fits[family.split("/")[1]][0], family.split("/")[1]
                    b = k * abs(a) * err
                    run, maps = mass_fit(x, kind, affine=(name, a, b))
                    compare(family, label, nat, attempt(run), maps)


# --- 5. narrow boxes (no twin) -----------------------------------------------

def box(transform, run, used=(), yield_error=None):
    r = attempt(run)
    dev = math.nan
    if isinstance(r, Exception):
        status = error_text(r)
    elif not r.success:
        status = f"FAIL ({r.message})"
    else:
        errors = {f"N{i}": e for i, e in enumerate(r.yield_errors)} | {n: r.shape_errors[n] for n in used}
        problems = [f"{n} error {e:g}" for n, e in errors.items() if not math.isfinite(e)]
        if yield_error is not None:
            dev = abs(r.yield_errors[0] / yield_error - 1.0)
            if math.isfinite(dev) and dev > ERROR_LIMIT:
                problems.append(f"N0 error {r.yield_errors[0]:.4g}")
            if np.any(np.diag(r.fit_covariance) < 0):
                problems.append("negative variance")
        status = "; ".join(problems) if problems else "agree"
    ROWS.append(("narrow box", transform, status, math.nan, dev, "-", evals(r)))


def boxes():
    rng = np.random.default_rng(0)
    x = np.concatenate([rng.normal(5.0, 0.5, 500), rng.uniform(0.0, 10.0, 1500)])[:, None]
    gauss = lambda d, p: np.exp(-0.5 * ((d[:, 0] - 5.0) / 0.5) ** 2) / (0.5 * math.sqrt(2 * math.pi))  # noqa: E731
    line = lambda d, p: 0.1 * (1.0 + p["c"] * (d[:, 0] - 5.0))  # noqa: E731
    lo, hi = -2.616121342493164e-06, 2.984911434141233e-06
    box("slope c, start on lower bound",
        lambda: tarnwex.splot(x, [gauss, line], shape_parameters=[SP("c", lo, lo, hi)]), used=("c",))
    box("slope c in [0, 1e-6]",
        lambda: tarnwex.splot(x, [gauss, line], shape_parameters=[SP("c", 4.153083902074384e-08, 0.0, 1e-6)]),
        used=("c",))
    flat300 = np.random.default_rng(0).uniform(0, 10, 300)[:, None]
    a0, a1 = -2.0305464791854134e-09, 1.911128002968302e-09
    box("constant PDF, a in ~4e-9 box",
        lambda: tarnwex.splot(flat300, [lambda d, p: np.ones(len(d)) / 10], shape_parameters=[SP("a", a0, a0, a1)]))
    flat5000 = np.random.default_rng(0).uniform(0, 10, 5000)[:, None]
    for half in (1e-9, 1e-12):
        box(f"unused b in 0.5 +- {half:g}",
            lambda: tarnwex.splot(flat5000, [lambda d, p: np.full(len(d), 0.1)],
                                  shape_parameters=[SP("b", 0.5, 0.5 - half, 0.5 + half)]),
            yield_error=math.sqrt(5000.0))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="run a subset of the cases")
    args = parser.parse_args()
    pick = (lambda xs: list(xs)[::3]) if args.quick else list

    lifetime_fit, lifetime_nat = lifetime(pick)
    mass_fits = mass(pick)
    weighted(pick)
    affine(pick, lifetime_fit, lifetime_nat, mass_fits)
    boxes()

    head = ("family", "transform", "status", "shift/sig", "err dev", "evals nat", "evals other")
    fmt = "{:<11} {:<33} {:<44} {:>10} {:>9} {:>10} {:>11}"
    print(fmt.format(*head))
    for family, transform, status, shift, dev, en, et in ROWS:
        status = status if len(status) <= 44 else status[:41] + "..."
        print(fmt.format(family, transform, status, f"{shift:.3g}", f"{dev:.3g}", en, et))
    long = [(f, t, s) for f, t, s, *_ in ROWS if len(s) > 44]
    for f, t, s in long:
        print(f"  {f} / {t}: {s}")
    print(f"{sum(r[2] == 'agree' for r in ROWS)} of {len(ROWS)} cases agree")


if __name__ == "__main__":
    main()
