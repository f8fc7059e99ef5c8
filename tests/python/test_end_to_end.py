"""A complete sPlot analysis checked against an independent NumPy computation."""

import numpy as np
import pytest

from conftest import exponential, gaussian, two_component_sample
from tarnwex import ShapeParameter, splot

N_SIGNAL, N_BACKGROUND = 6000, 14000
TRUE_MU, TRUE_SIGMA = 5.0, 0.5
SEED = 20240611
MAX_PULL = 3.0
AGREEMENT = 1e-9


@pytest.fixture(scope="module")
def sample():
    return two_component_sample(N_SIGNAL, N_BACKGROUND, seed=SEED, mu=TRUE_MU, sigma=TRUE_SIGMA)


@pytest.fixture(scope="module")
def result(sample):
    parameters = [ShapeParameter("mu", 4.6, 3.0, 7.0), ShapeParameter("sigma", 0.8, 0.05, 3.0)]
    return splot(sample, [gaussian, exponential], shape_parameters=parameters)


def test_fit_converges_to_the_truth_within_its_errors(sample, result):
    assert result.success, result.message
    assert sample.shape[0] == N_SIGNAL + N_BACKGROUND
    pulls = (result.yields - [N_SIGNAL, N_BACKGROUND]) / result.yield_errors
    assert np.all(np.abs(pulls) < MAX_PULL), pulls
    shape_errors = result.shape_errors
    assert abs(result.shape_parameters["mu"] - TRUE_MU) < MAX_PULL * shape_errors["mu"]
    assert abs(result.shape_parameters["sigma"] - TRUE_SIGMA) < MAX_PULL * shape_errors["sigma"]
    np.testing.assert_allclose(result.yield_errors, np.sqrt(np.diag(result.fit_covariance)[:2]), rtol=AGREEMENT)


def test_covariance_and_sweights_agree_with_an_independent_computation(sample, result):
    densities = np.column_stack([gaussian(sample, result.shape_parameters), exponential(sample, result.shape_parameters)])
    mixture = densities @ result.yields
    information = (densities / mixture[:, None]).T @ (densities / mixture[:, None])
    covariance = np.linalg.inv(information)
    np.testing.assert_allclose(result.covariance, covariance, rtol=AGREEMENT)
    np.testing.assert_allclose(result.covariance @ information, np.eye(2), atol=1e-7)
    sweights = densities @ covariance.T / mixture[:, None]
    scale = np.abs(sweights).max()
    np.testing.assert_allclose(result.sweights, sweights, rtol=AGREEMENT, atol=AGREEMENT * scale)
    # At the likelihood maximum the sWeights of a component add up to its yield.
    np.testing.assert_allclose(result.sweights.sum(axis=0), result.yields, rtol=1e-4)
