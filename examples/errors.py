"""What a user sees when something is wrong: each mistake, and the real message.

Every case below makes one common mistake, calls `splot`, and prints the
exception it raises. Invalid arguments raise ValueError (or TypeError for a
wrong type); trouble found while fitting raises tarnwex.SPlotError; an
exception raised by a PDF on its very first call reaches the caller as it is.

    python examples/errors.py [--events N]
"""

import argparse
import math

import numpy as np

import tarnwex
import toymodel


def negative_density(data):
    """A linear background whose slope makes it negative at the upper edge."""

    def linear(d, p):
        lo, hi = toymodel.MASS_RANGE
        centre = 0.5 * (lo + hi)
        return (1.0 + p["tilt"] * (d[:, 0] - centre)) / (hi - lo)

    pdfs = [toymodel.signal_pdf, linear]
    params = toymodel.shape_parameters()[:2] + [tarnwex.ShapeParameter("tilt", -5.0)]
    return tarnwex.splot(data, pdfs, shape_parameters=params)


def identical_pdfs(data):
    """The same fixed shape twice: the two yields cannot be told apart."""

    def peak(d, p):
        return toymodel.signal_pdf(d, toymodel.TRUE_SHAPES)

    return tarnwex.splot(data, [peak, peak])


def bound_excludes_initial(data):
    """A width of 0.5 GeV with an upper bound of 0.1 GeV."""
    params = [
        tarnwex.ShapeParameter("mean", 5.28, 5.2, 5.36),
        tarnwex.ShapeParameter("width", 0.5, 0.002, 0.1),
        tarnwex.ShapeParameter("slope", 1.0),
    ]
    return tarnwex.splot(data, toymodel.PDFS, shape_parameters=params)


def misspelt_parameter(data):
    """A PDF that looks up "sigma" while the parameter is named "width"."""

    def gauss(d, p):
        z = (d[:, 0] - p["mean"]) / p["sigma"]
        return np.exp(-0.5 * z * z)

    return tarnwex.splot(data, [gauss, toymodel.background_pdf], shape_parameters=toymodel.shape_parameters())


def raises_during_fit(data):
    """A resolution model tabulated for widths 0.01 to 0.03 only, started at 0.03.

    The first call succeeds; the fit's first gradient steps just past 0.03.
    """

    def tabulated(d, p):
        if not 0.01 <= p["width"] <= 0.03:
            raise ValueError(f"width {p['width']} is outside the tabulated range [0.01, 0.03]")
        return toymodel.signal_pdf(d, p)

    params = [
        tarnwex.ShapeParameter("mean", 5.28, 5.2, 5.36),
        tarnwex.ShapeParameter("width", 0.03, 0.002, 0.1),
        tarnwex.ShapeParameter("slope", 1.0),
    ]
    return tarnwex.splot(data, [tabulated, toymodel.background_pdf], shape_parameters=params)


def returns_a_list(data):
    """A PDF written per event, returning a Python list."""

    def per_event(d, p):
        return [math.exp(-abs(m - 5.28)) for m in d[:, 0]]

    return tarnwex.splot(data, [per_event, toymodel.background_pdf], shape_parameters=toymodel.shape_parameters())


def nan_in_data(data):
    """One event with a missing (NaN) decay time."""
    broken = data.copy()
    broken[5, 1] = np.nan
    return tarnwex.splot(broken, toymodel.PDFS, shape_parameters=toymodel.shape_parameters())


def weights_wrong_length(data):
    """One weight short."""
    weights = np.ones(len(data) - 1)
    return tarnwex.splot(data, toymodel.PDFS, shape_parameters=toymodel.shape_parameters(), weights=weights)


def weights_as_a_column(data):
    """Weights as a column, shape (n_events, 1), as a table's one-column slice gives them."""
    weights = np.ones((len(data), 1))
    return tarnwex.splot(data, toymodel.PDFS, shape_parameters=toymodel.shape_parameters(), weights=weights)


def duplicated_name(data):
    """Two parameters both called "mean"."""
    params = toymodel.shape_parameters() + [tarnwex.ShapeParameter("mean", 5.3)]
    return tarnwex.splot(data, toymodel.PDFS, shape_parameters=params)


def step_limit(data):
    """Not an error: a fit stopped by max_steps returns with success False."""
    return tarnwex.splot(data, toymodel.PDFS, shape_parameters=toymodel.shape_parameters(), max_steps=3)


CASES = [
    negative_density,
    identical_pdfs,
    bound_excludes_initial,
    misspelt_parameter,
    raises_during_fit,
    returns_a_list,
    nan_in_data,
    weights_wrong_length,
    weights_as_a_column,
    duplicated_name,
    step_limit,
]


def exception_name(exc):
    cls = type(exc)
    return cls.__name__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=2_000, help="events in the toy sample (default 2000)")
    args = parser.parse_args()
    data, _ = toymodel.generate(np.random.default_rng(11), args.events // 4, args.events - args.events // 4)

    for number, case in enumerate(CASES, 1):
        print(f"{number}. {case.__doc__.splitlines()[0]}")
        try:
            result = case(data)
        except Exception as exc:
            print(f"   {exception_name(exc)}: {exc}\n")
        else:
            print(f"   returned {result!r}\n   message: {result.message}\n")


if __name__ == "__main__":
    main()
