"""Built-in densities for :func:`tarnwex.splot`.

Each density describes one column of the data, truncated to a fit range
``(lo, hi)`` and normalised there analytically: no normalisation by hand.
Its arguments are shape-parameter names (``str``), which the fit varies, or
fixed numbers; a name may be shared between densities.

A density is a PDF like any other: ``pdf(data, shape_parameters)`` returns
its value at every event, so it works in NumPy code, in plots and in
``tarnwex.splot`` next to PDFs written in Python. Inside ``tarnwex.splot``
the fit computes it itself, without calling back into Python, and takes its
exact derivatives: along a shape parameter that only built-in densities
depend on, the likelihood's gradient is exact and needs no
finite-difference points. ``pdf.gradient(data, shape_parameters)`` returns
the same derivatives as a dict of arrays.

Example::

    import tarnwex, tarnwex_pdfs as tp

    signal = tp.Gaussian(0, (5.0, 5.6), mu="mu", sigma="sigma")
    background = tp.Exponential(0, (5.0, 5.6), slope="slope")
    result = tarnwex.splot(data, [signal, background], shape_parameters=[
        tarnwex.ShapeParameter("mu", 5.28, 5.2, 5.35),
        tarnwex.ShapeParameter("sigma", 0.02, 0.005, 0.1),
        tarnwex.ShapeParameter("slope", -1.0, -20.0, 20.0),
    ])

A density is 0 outside its range; events outside every component's range
make the fit fail, as they would with any PDF.
"""

from __future__ import annotations

from typing import Sequence, Tuple, Union

import tarnwex

__all__ = [
    "Argus",
    "Bernstein",
    "Chebyshev",
    "CrystalBall",
    "DoubleCrystalBall",
    "Exponential",
    "Gaussian",
    "Uniform",
]

#: A shape parameter's name, or a fixed number.
Argument = Union[str, float]
Range = Tuple[float, float]


def _rebuild(cls, column, range, arguments):
    density = cls.__new__(cls)
    tarnwex._BuiltinPdf.__init__(density, cls._shape, column, range, arguments)
    return density


class _Density(tarnwex._BuiltinPdf):
    _shape = ""
    _argument_names: Tuple[str, ...] = ()

    def __init__(self, column: int, range: Range, *arguments: Argument) -> None:
        super().__init__(self._shape, column, range, arguments)

    def __repr__(self) -> str:
        names = self._argument_names
        parts = [f"{name}={value!r}" for name, value in zip(names, self.arguments)]
        return f"{type(self).__name__}({self.column}, {self.range!r}{''.join(', ' + p for p in parts)})"

    def __reduce__(self):
        return (_rebuild, (type(self), self.column, self.range, self.arguments))


class _Polynomial(tarnwex._BuiltinPdf):
    _shape = ""

    def __init__(self, column: int, range: Range, coefficients: Sequence[Argument]) -> None:
        super().__init__(self._shape, column, range, tuple(coefficients))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.column}, {self.range!r}, {list(self.arguments)!r})"

    def __reduce__(self):
        return (_rebuild, (type(self), self.column, self.range, self.arguments))


class Uniform(_Density):
    """Uniform(column, range)

    Flat over the range: ``1 / (hi - lo)``.
    """

    _shape = "uniform"

    def __init__(self, column: int, range: Range) -> None:
        super().__init__(column, range)


class Gaussian(_Density):
    """Gaussian(column, range, mu, sigma)

    The normal density of mean ``mu`` and width ``sigma > 0``, truncated to
    the range. Accurate however far the range lies in a tail.
    """

    _shape = "gaussian"
    _argument_names = ("mu", "sigma")

    def __init__(self, column: int, range: Range, mu: Argument, sigma: Argument) -> None:
        super().__init__(column, range, mu, sigma)


class Exponential(_Density):
    """Exponential(column, range, slope)

    Proportional to ``exp(slope * x)``: a falling spectrum has a negative
    slope; ``slope = 0`` is flat.
    """

    _shape = "exponential"
    _argument_names = ("slope",)

    def __init__(self, column: int, range: Range, slope: Argument) -> None:
        super().__init__(column, range, slope)


class CrystalBall(_Density):
    """CrystalBall(column, range, mu, sigma, alpha, n)

    A Gaussian core of mean ``mu`` and width ``sigma`` with a power-law tail
    on the low side: with ``t = (x - mu) / sigma``, ``exp(-t**2 / 2)`` for
    ``t > -alpha`` and ``A (B - t)**(-n)`` below, ``A`` and ``B`` making the
    density and its slope continuous. ``sigma > 0``, ``alpha > 0``, ``n > 0``.
    """

    _shape = "crystal_ball"
    _argument_names = ("mu", "sigma", "alpha", "n")

    def __init__(self, column: int, range: Range, mu: Argument, sigma: Argument,
                 alpha: Argument, n: Argument) -> None:
        super().__init__(column, range, mu, sigma, alpha, n)


class DoubleCrystalBall(_Density):
    """DoubleCrystalBall(column, range, mu, sigma, alpha_low, n_low, alpha_high, n_high)

    A Gaussian core with a power-law tail on each side: below
    ``t = -alpha_low`` with power ``n_low`` and above ``t = alpha_high`` with
    power ``n_high``, each continuous with its slope.
    """

    _shape = "double_crystal_ball"
    _argument_names = ("mu", "sigma", "alpha_low", "n_low", "alpha_high", "n_high")

    def __init__(self, column: int, range: Range, mu: Argument, sigma: Argument,
                 alpha_low: Argument, n_low: Argument, alpha_high: Argument,
                 n_high: Argument) -> None:
        super().__init__(column, range, mu, sigma, alpha_low, n_low, alpha_high, n_high)


class Bernstein(_Polynomial):
    """Bernstein(column, range, coefficients)

    The Bernstein polynomial ``sum_i c_i b_{i,d}(t)`` of degree
    ``d = len(coefficients) - 1`` in ``t = (x - lo) / (hi - lo)``, normalised
    over the range. Non-negative coefficients give a non-negative density.
    Only the coefficients' ratios matter: fix one of them (a number) so that
    the fit has no flat direction.
    """

    _shape = "bernstein"


class Chebyshev(_Polynomial):
    """Chebyshev(column, range, coefficients)

    ``1 + sum_i a_i T_i(u)``, ``i = 1 .. len(coefficients)``, in
    ``u = 2 (x - lo) / (hi - lo) - 1``, normalised over the range; the
    constant term is 1.
    """

    _shape = "chebyshev"


class Argus(_Density):
    """Argus(column, range, m0, c)

    The ARGUS background shape ``x sqrt(1 - (x/m0)**2) exp(c (1 - (x/m0)**2))``
    below the endpoint ``m0`` (power 1/2), 0 above it. Needs ``lo >= 0`` and
    ``m0 > lo``; ``c`` of either sign.
    """

    _shape = "argus"
    _argument_names = ("m0", "c")

    def __init__(self, column: int, range: Range, m0: Argument, c: Argument) -> None:
        super().__init__(column, range, m0, c)
