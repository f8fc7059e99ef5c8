"""Built-in densities in the fit: the same results as the same model written
in NumPy, alone and mixed with Python PDFs, and the companion module's
behaviour as a Python object."""

import copy
import math
import pickle

import numpy as np
import pytest

import tarnwex
import tarnwex_pdfs as tp

LO, HI = 0.0, 10.0


def numpy_gaussian(data, p):
    s = p["sigma"] * math.sqrt(2.0)
    norm = 0.5 * (math.erf((HI - p["mu"]) / s) - math.erf((LO - p["mu"]) / s))
    z = (data[:, 0] - p["mu"]) / p["sigma"]
    return np.exp(-0.5 * z * z) / (p["sigma"] * math.sqrt(2.0 * math.pi) * norm)


def numpy_exponential(data, p):
    c = p["slope"]
    norm = (math.exp(c * HI) - math.exp(c * LO)) / c
    return np.exp(c * data[:, 0]) / norm


numpy_gaussian.__tarnwex_parameters__ = ("mu", "sigma")
numpy_exponential.__tarnwex_parameters__ = ("slope",)


def sample(seed, n_signal=1500, n_background=6000):
    rng = np.random.default_rng(seed)
    signal = rng.normal(4.0, 0.6, 3 * n_signal)
    signal = signal[(signal > LO) & (signal < HI)][:n_signal]
    u = rng.uniform(size=n_background)
    c = -0.25
    background = np.log(np.exp(c * LO) + u * (np.exp(c * HI) - np.exp(c * LO))) / c
    mass = np.concatenate([signal, background])
    return np.column_stack([mass, rng.uniform(size=mass.size)])


def parameters():
    return [tarnwex.ShapeParameter("mu", 4.3, 2.0, 6.0),
            tarnwex.ShapeParameter("sigma", 0.8, 0.1, 3.0),
            tarnwex.ShapeParameter("slope", -0.4, -2.0, -0.01)]


BUILTIN_GAUSSIAN = tp.Gaussian(0, (LO, HI), "mu", "sigma")
BUILTIN_EXPONENTIAL = tp.Exponential(0, (LO, HI), "slope")


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("pdfs", [
    [BUILTIN_GAUSSIAN, BUILTIN_EXPONENTIAL],  # every shape parameter exact
    [BUILTIN_GAUSSIAN, numpy_exponential],    # mixed: the slope by differences
], ids=["builtins", "mixed"])
@pytest.mark.parametrize("seed", [1, 2])
def test_builtins_give_the_fit_of_the_same_model_in_numpy(pdfs, weighted, seed):
    data = sample(seed)
    weights = np.random.default_rng(seed + 10).uniform(0.5, 1.5, len(data)) if weighted else None
    # Converged tightly, so that what is compared is the model, not where
    # each fit happened to stop within the default tolerance.
    reference = tarnwex.splot(data, [numpy_gaussian, numpy_exponential],
                              shape_parameters=parameters(), weights=weights, tolerance=1e-12)
    result = tarnwex.splot(data, pdfs, shape_parameters=parameters(), weights=weights,
                           tolerance=1e-12)
    assert reference.success and result.success, (reference.message, result.message)
    values = np.concatenate([result.yields, list(result.shape_parameters.values())])
    expected = np.concatenate([reference.yields, list(reference.shape_parameters.values())])
    errors = np.concatenate([reference.yield_errors, list(reference.shape_errors.values())])
    found_errors = np.concatenate([result.yield_errors, list(result.shape_errors.values())])
    np.testing.assert_array_less(np.abs(values - expected), 0.01 * errors)
    np.testing.assert_allclose(found_errors, errors, rtol=0.005)
    np.testing.assert_allclose(result.sweights, reference.sweights, rtol=0, atol=1e-6)


def test_a_builtin_is_a_pdf_with_exact_derivatives():
    data = sample(3, 50, 50)
    point = {"mu": 4.1, "sigma": 0.7, "slope": -0.3}
    np.testing.assert_allclose(BUILTIN_GAUSSIAN(data, point), numpy_gaussian(data, point), rtol=1e-12)
    np.testing.assert_allclose(BUILTIN_EXPONENTIAL(data, point), numpy_exponential(data, point),
                               rtol=1e-12)
    gradient = BUILTIN_GAUSSIAN.gradient(data, point)
    assert sorted(gradient) == ["mu", "sigma"]
    h = 1e-6
    for name in gradient:
        up, down = dict(point), dict(point)
        up[name] += h
        down[name] -= h
        numeric = (numpy_gaussian(data, up) - numpy_gaussian(data, down)) / (2 * h)
        np.testing.assert_allclose(gradient[name], numeric, rtol=1e-6, atol=1e-9)
    assert BUILTIN_GAUSSIAN.__tarnwex_parameters__ == ("mu", "sigma")


def test_a_shared_name_sums_its_arguments_derivatives():
    # A Gaussian whose width equals its mean: d/dm = d/dmu + d/dsigma.
    shared = tp.Gaussian(0, (LO, HI), "m", "m")
    data = sample(4, 30, 30)
    both = BUILTIN_GAUSSIAN.gradient(data, {"mu": 2.5, "sigma": 2.5})
    np.testing.assert_allclose(shared.gradient(data, {"m": 2.5})["m"], both["mu"] + both["sigma"],
                               rtol=1e-12, atol=1e-15)
    assert shared.__tarnwex_parameters__ == ("m",)


def test_densities_copy_pickle_and_describe_themselves():
    density = tp.CrystalBall(1, (0.0, 5.0), "mu", 0.2, alpha=1.5, n="n")
    for other in (pickle.loads(pickle.dumps(density)), copy.deepcopy(density)):
        assert type(other) is tp.CrystalBall
        assert (other.column, other.range, other.arguments) == (1, (0.0, 5.0), ("mu", 0.2, 1.5, "n"))
    assert repr(density) == "CrystalBall(1, (0.0, 5.0), mu='mu', sigma=0.2, alpha=1.5, n='n')"
    assert repr(tp.Bernstein(0, (0, 1), [1.0, "b1"])) == "Bernstein(0, (0.0, 1.0), [1.0, 'b1'])"


def test_bad_densities_and_bad_arguments_are_refused_clearly():
    with pytest.raises(ValueError, match="range"):
        tp.Gaussian(0, (1.0, 1.0), "mu", "sigma")
    with pytest.raises(TypeError, match="sigma"):
        tp.Gaussian(0, (0.0, 1.0), "mu", None)
    data = sample(5, 20, 20)
    with pytest.raises(ValueError, match="sigma must be positive"):
        BUILTIN_GAUSSIAN(data, {"mu": 1.0, "sigma": -1.0})
    with pytest.raises(KeyError):
        BUILTIN_GAUSSIAN(data, {"mu": 1.0})
    with pytest.raises(ValueError, match="column 5"):
        tp.Uniform(5, (LO, HI))(data, {})
    # A name that is not a shape parameter fails at the first call, as a
    # Python PDF reading it would.
    with pytest.raises(KeyError, match="width"):
        tarnwex.splot(data, [tp.Gaussian(0, (LO, HI), "mu", "width"), tp.Uniform(0, (LO, HI))],
                      shape_parameters=parameters()[:2])


def test_a_subclass_that_computes_otherwise_is_called_through_python():
    def falling(data, p):
        return numpy_exponential(data, {"slope": -0.25})

    falling.__tarnwex_parameters__ = ()

    class Falling(tp.Uniform):  # declares no parameter, as Uniform does
        def __call__(self, data, p):
            return falling(data, p)

    data = sample(6, 400, 1600)
    result = tarnwex.splot(data, [BUILTIN_GAUSSIAN, Falling(0, (LO, HI))],
                           shape_parameters=parameters()[:2])
    expected = tarnwex.splot(data, [BUILTIN_GAUSSIAN, falling], shape_parameters=parameters()[:2])
    np.testing.assert_array_equal(result.yields, expected.yields)
