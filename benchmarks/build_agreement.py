"""Every output of the benchmark fits, to compare two builds of tarnwex bit for bit.

    python benchmarks/build_agreement.py save OUT.npz     fits with the tarnwex that imports
    python benchmarks/build_agreement.py compare A.npz B.npz

Both builds must be run by the same interpreter with the same NumPy, so that
the data and the densities are the same bits and only the module differs:
scripts/test-wheel.sh saves the outputs of the wheel (Clang and libc++) and of
the GCC build of the same tree, then compares them. `compare` names every
output that differs and exits 1 if any does.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import rich_toy  # noqa: E402
import toy  # noqa: E402

TOY_EVENTS = 100_000


def _toy_fit(shapes: bool):
    import tarnwex

    if shapes:
        pdfs = [lambda d, p: toy.gauss(d[:, 0], p["mu"], p["sigma"]), lambda d, p: toy.expo(d[:, 0])]
        parameters = [tarnwex.ShapeParameter("mu", toy.START_MU, *toy.MU_BOUNDS),
                      tarnwex.ShapeParameter("sigma", toy.START_SIGMA, *toy.SIGMA_BOUNDS)]
    else:
        pdfs = [lambda d, p: toy.gauss(d[:, 0], toy.TRUE_MU, toy.TRUE_SIGMA),
                lambda d, p: toy.expo(d[:, 0])]
        parameters = None
    return tarnwex.splot(toy.make_data(TOY_EVENTS), pdfs, shape_parameters=parameters,
                         initial_yields=[TOY_EVENTS / 2.0] * 2)


def _rich_fit():
    import tarnwex

    pdfs = [lambda d, p, k=k: rich_toy.densities(d[:, 0], p)[k] for k in range(4)]
    parameters = [tarnwex.ShapeParameter(n, rich_toy.START[n], *rich_toy.BOUNDS[n])
                  for n in rich_toy.NAMES]
    return tarnwex.splot(rich_toy.make_data(), pdfs, shape_parameters=parameters,
                         initial_yields=[rich_toy.N_EVENTS / 4.0] * 4)


def _builtin_fit(peak: str):
    """The toy with built-in densities, every shape free: the kernels, the
    batched exponential and the exact gradient's sums are compared too. The
    Crystal Ball fit is weighted, for the exact per-event scores."""
    import tarnwex
    import tarnwex_pdfs as tp

    window = (toy.LOW, toy.HIGH)
    parameters = [tarnwex.ShapeParameter("mu", toy.START_MU, *toy.MU_BOUNDS),
                  tarnwex.ShapeParameter("sigma", toy.START_SIGMA, *toy.SIGMA_BOUNDS)]
    data = toy.make_data(TOY_EVENTS)
    weights = None
    if peak == "gaussian":
        pdfs = [tp.Gaussian(0, window, "mu", "sigma"), tp.Exponential(0, window, "slope")]
        parameters.append(tarnwex.ShapeParameter("slope", -0.8 * toy.SLOPE, -3.0, 3.0))
    else:
        pdfs = [tp.CrystalBall(0, window, "mu", "sigma", "alpha", 4.0),
                tp.Exponential(0, window, "slope")]
        parameters += [tarnwex.ShapeParameter("alpha", 1.5, 0.3, 5.0),
                       tarnwex.ShapeParameter("slope", -0.8 * toy.SLOPE, -3.0, 3.0)]
        weights = np.random.default_rng(5).uniform(0.5, 1.5, len(data))
    return tarnwex.splot(data, pdfs, shape_parameters=parameters, weights=weights,
                         initial_yields=[TOY_EVENTS / 2.0] * 2)


FITS = {"toy, fixed shapes": lambda: _toy_fit(False),
        "toy, free shapes": lambda: _toy_fit(True),
        "rich toy": _rich_fit,
        "toy, built-in Gaussian and exponential": lambda: _builtin_fit("gaussian"),
        "toy, built-in Crystal Ball and exponential, weighted": lambda: _builtin_fit("crystal_ball")}


def outputs(result) -> dict[str, np.ndarray]:
    names = sorted(result.shape_parameters)
    return {
        "yields": np.asarray(result.yields),
        "yield_errors": np.asarray(result.yield_errors),
        "covariance": np.asarray(result.covariance),
        "sweights": np.asarray(result.sweights),
        "shape_parameters": np.array([result.shape_parameters[n] for n in names], dtype=float),
        "shape_errors": np.array([result.shape_errors[n] for n in names], dtype=float),
        "fit_covariance": np.asarray(result.fit_covariance),
        "minimum_nll": np.array(result.minimum_nll),
        "evaluations": np.array([result.objective_evaluations, result.gradient_evaluations,
                                 result.hessian_evaluations]),
        "success": np.array(result.success),
        "message": np.array(result.message),
    }


def save(path: str) -> None:
    import tarnwex

    print(f"build agreement: fits by {tarnwex.__file__}")
    arrays = {}
    for fit, run in FITS.items():
        for name, value in outputs(run()).items():
            arrays[f"{fit}: {name}"] = value
    np.savez(path, **arrays)


def compare(first: str, second: str) -> int:
    with np.load(first) as a, np.load(second) as b:
        keys = sorted(set(a.files) | set(b.files))
        differ = []
        for key in keys:
            if key not in a.files or key not in b.files:
                differ.append(f"{key}: only in {first if key in a.files else second}")
                continue
            x, y = a[key], b[key]
            if x.dtype != y.dtype or x.shape != y.shape or x.tobytes() != y.tobytes():
                detail = ""
                if x.dtype.kind == "f" and x.shape == y.shape:
                    detail = f", largest difference {np.max(np.abs(x - y)):.3g}"
                differ.append(f"{key}: differs{detail}")
    for line in differ:
        print(f"build agreement: {line}")
    print(f"build agreement: {len(keys) - len(differ)} of {len(keys)} outputs of "
          f"{len(FITS)} fits bit-identical")
    return 1 if differ else 0


def main(argv: list[str]) -> int:
    if len(argv) == 2 and argv[0] == "save":
        save(argv[1])
        return 0
    if len(argv) == 3 and argv[0] == "compare":
        return compare(argv[1], argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
