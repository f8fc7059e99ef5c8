"""Joint extended-likelihood fitting and sWeight calculation."""

import collections.abc
from typing import final

import numpy
import numpy.typing

@final
class ShapeParameter:
    def __new__(
        cls, name: str, initial: float, lower: float = ..., upper: float = ...
    ) -> ShapeParameter:
        """Create a shape parameter.

        Parameters
        ----------
        name : str
            Unique name identifying the parameter.
        initial : float
            Initial value supplied to the optimizer.
        lower : float, optional
            Inclusive lower bound. Defaults to negative infinity.
        upper : float, optional
            Inclusive upper bound. Defaults to positive infinity.

        Returns
        -------
        ShapeParameter
            Immutable shape-parameter specification.
        """
    @property
    def name(self) -> str: ...
    @property
    def initial(self) -> float: ...
    @property
    def lower(self) -> float: ...
    @property
    def upper(self) -> float: ...
    def __repr__(self) -> str: ...

@final
class SPlotResult:
    @property
    def yields(self): ...
    @property
    def yield_errors(self): ...
    @property
    def covariance(self): ...
    @property
    def sweights(self): ...
    @property
    def shape_parameters(self) -> dict[str, float]: ...
    @property
    def shape_errors(self) -> dict[str, float]: ...
    @property
    def fit_covariance(self): ...
    @property
    def minimum_nll(self) -> float: ...
    @property
    def success(self) -> bool: ...
    @property
    def message(self) -> str: ...
    @property
    def objective_evaluations(self) -> int: ...
    @property
    def gradient_evaluations(self) -> int: ...
    @property
    def hessian_evaluations(self) -> int: ...
    def __repr__(self) -> str: ...
    def _repr_html_(self) -> str: ...

def splot(
    data: numpy.typing.ArrayLike,
    pdfs: list[
        collections.abc.Callable[
            [numpy.typing.NDArray[numpy.float64], dict[str, float]],
            numpy.typing.NDArray[numpy.float64],
        ]
    ],
    *,
    shape_parameters: list[ShapeParameter] | None = None,
    initial_yields: list[float] | None = None,
    weights: numpy.typing.ArrayLike | None = None,
    max_steps: int | None = ...,
    tolerance: float = 1e-8,
) -> SPlotResult: ...

class SPlotError(RuntimeError): ...
