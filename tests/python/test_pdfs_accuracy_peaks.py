"""The Gaussian and Crystal Ball densities against mpmath at 80 digits:
values to a relative 1e-12 wherever the true value is a normal double, and
derivatives with respect to every argument to a relative 1e-9 (or, where a
derivative passes through zero, an absolute 1e-12 of the density's largest
value over the range). The points are the hard ones: ranges far in either
tail, narrow ranges, ranges straddling the peak or a junction between core
and power-law tail, n at and around 1, and the junctions themselves.

The reference is written from the shapes' definitions alone: the Gaussian
mass from erfc, the tail's from its antiderivative, derivatives by mpmath's
numerical differentiation of the normalised density."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnwex_pdfs as tp

mp = pytest.importorskip("mpmath")
mp.mp.dps = 80

SMALLEST_NORMAL = 2.2250738585072014e-308


def core_mass(c1, c2):
    """The integral of exp(-t^2/2) over [c1, c2]."""
    if c2 <= c1:
        return mp.mpf(0)
    # The difference of erfc loses the digits of the width: work with that
    # many more.
    with mp.extradps(20 + max(0, int(-mp.log10(c2 - c1)))):
        if c1 + c2 >= 0:
            mass = mp.erfc(c1 / mp.sqrt(2)) - mp.erfc(c2 / mp.sqrt(2))
        else:
            mass = mp.erfc(-c2 / mp.sqrt(2)) - mp.erfc(-c1 / mp.sqrt(2))
        return mp.sqrt(mp.pi / 2) * mass


def tail_constants(alpha, n):
    return (n / alpha) ** n * mp.exp(-alpha**2 / 2), n / alpha - alpha


def low_tail_mass(t1, t2, alpha, n):
    """The integral of A (B - t)^-n over [t1, t2], t2 <= -alpha: A (B - t2)^(1 - n)
    L (e^z - 1)/z with L = ln((B - t1)/(B - t2)), z = (1 - n) L, smooth through n = 1."""
    if t2 <= t1:
        return mp.mpf(0)
    a, b = tail_constants(alpha, n)
    log_ratio = mp.log((b - t1) / (b - t2))
    z = (1 - n) * log_ratio
    return a * (b - t2) ** (1 - n) * log_ratio * (mp.expm1(z) / z if z != 0 else 1)


def shape(t, alpha_low, n_low, alpha_high, n_high):
    if alpha_low is not None and t <= -alpha_low:
        a, b = tail_constants(alpha_low, n_low)
        return a * (b - t) ** -n_low
    if alpha_high is not None and t >= alpha_high:
        a, b = tail_constants(alpha_high, n_high)
        return a * (b + t) ** -n_high
    return mp.exp(-t * t / 2)


def density(x, lo, hi, mu, sigma, alpha_low=None, n_low=None, alpha_high=None, n_high=None):
    if x < lo or x > hi:
        return mp.mpf(0)
    a, b, t = (lo - mu) / sigma, (hi - mu) / sigma, (x - mu) / sigma
    core_lo = a if alpha_low is None else max(a, -alpha_low)
    core_hi = b if alpha_high is None else min(b, alpha_high)
    mass = core_mass(core_lo, core_hi)
    if alpha_low is not None:
        mass += low_tail_mass(a, min(b, -alpha_low), alpha_low, n_low)
    if alpha_high is not None:  # the high tail is the low tail of the mirror image
        mass += low_tail_mass(-b, min(-a, -alpha_high), alpha_high, n_high)
    return shape(t, alpha_low, n_low, alpha_high, n_high) / (sigma * mass)


def reference(x, lo, hi, arguments):
    """The density at x and its derivatives along each argument."""
    x, lo, hi = mp.mpf(x), mp.mpf(lo), mp.mpf(hi)
    arguments = [mp.mpf(a) for a in arguments]
    derivatives = []
    for j, a in enumerate(arguments):
        def along(value, j=j):
            moved = list(arguments)
            moved[j] = value
            return density(x, lo, hi, *moved)
        # A central difference whose step is far below every scale of the
        # problem (the range's width among them), at 80 digits.
        step = min(max(abs(a), arguments[1]), hi - lo) * mp.mpf("1e-25")
        derivatives.append(mp.diff(along, a, h=step))
    return density(x, lo, hi, *arguments), derivatives


NAMES = {
    tp.Gaussian: ("mu", "sigma"),
    tp.CrystalBall: ("mu", "sigma", "alpha", "n"),
    tp.DoubleCrystalBall: ("mu", "sigma", "alpha_low", "n_low", "alpha_high", "n_high"),
}


def check_against_mpmath(kind, lo, hi, arguments, extra_points=()):
    names = NAMES[kind]
    pdf = kind(0, (lo, hi), *names)
    parameters = dict(zip(names, arguments))
    mu, sigma = arguments[0], arguments[1]
    junctions = []
    if kind is not tp.Gaussian:
        junctions.append(mu - arguments[2] * sigma)
    if kind is tp.DoubleCrystalBall:
        junctions.append(mu + arguments[4] * sigma)
    points = np.concatenate([np.linspace(lo, hi, 7), junctions, extra_points])
    points = points[(points >= lo) & (points <= hi)]
    # A point on each side outside the range, where everything is 0.
    points = np.concatenate([points, [np.nextafter(lo, -np.inf), np.nextafter(hi, np.inf)]])
    data = np.column_stack([points, np.zeros_like(points)])
    values = pdf(data, parameters)
    gradient = pdf.gradient(data, parameters)
    assert sorted(gradient) == sorted(names)

    largest = reference(min(max(mu, lo), hi), lo, hi, arguments)[0]
    for i, x in enumerate(points):
        value, derivatives = reference(x, lo, hi, arguments)
        where = f"x = {x!r}"
        if value == 0:
            assert values[i] == 0, where
        elif value >= SMALLEST_NORMAL:
            assert abs(values[i] / float(value) - 1) <= 1e-12, (where, values[i], value)
        for name, expected in zip(names, derivatives):
            got = gradient[name][i]
            assert math.isfinite(got), (where, name)
            allowed = max(1e-9 * abs(expected), 1e-12 * largest)
            assert abs(got - expected) <= allowed, (where, name, got, float(expected))


CASES = {
    # Gaussian: far in either tail (a ratio of erf differences would be 0/0),
    # narrow ranges there and around the peak, ranges straddling mu.
    "gaussian-straddling": (tp.Gaussian, -5.0, 5.0, [0.3, 1.2]),
    "gaussian-far-high": (tp.Gaussian, 30.0, 40.0, [0.0, 1.0]),
    "gaussian-far-low": (tp.Gaussian, -40.0, -30.0, [0.0, 1.0]),
    "gaussian-narrow-far": (tp.Gaussian, 30.0, 30.000001, [0.0, 1.0]),
    "gaussian-narrow-low": (tp.Gaussian, -30.000001, -30.0, [0.0, 1.0]),
    "gaussian-narrow-near": (tp.Gaussian, 1.3, 1.3000003, [1.0, 0.3]),
    "gaussian-narrow-peak": (tp.Gaussian, -5e-7, 2e-7, [1e-8, 1.0]),
    "gaussian-one-side": (tp.Gaussian, 2.0, 2.7, [0.0, 1.0]),
    "gaussian-moderate-tail": (tp.Gaussian, 5.0, 6.0, [0.0, 1.0]),
    "gaussian-wide-tail": (tp.Gaussian, 10.0, 30.0, [0.0, 1.0]),
    "gaussian-narrow-sigma": (tp.Gaussian, -1000.0, 1000.0, [3.0, 0.01]),
    "gaussian-wide-sigma": (tp.Gaussian, 0.0, 10.0, [5.0, 200.0]),
    # Crystal Ball: the range in the core, in the tail, across the junction.
    "cb-across": (tp.CrystalBall, -10.0, 5.0, [0.5, 1.3, 1.5, 3.0]),
    "cb-n-one": (tp.CrystalBall, -10.0, 5.0, [0.5, 1.3, 1.5, 1.0]),
    "cb-n-above-one": (tp.CrystalBall, -10.0, 5.0, [0.5, 1.3, 1.5, 1.0 + 1e-9]),
    "cb-n-below-one": (tp.CrystalBall, -10.0, 5.0, [0.5, 1.3, 1.5, 1.0 - 1e-7]),
    "cb-n-small": (tp.CrystalBall, -100.0, 5.0, [0.5, 1.3, 0.8, 0.5]),
    "cb-n-large": (tp.CrystalBall, -10.0, 5.0, [0.5, 1.3, 2.0, 1e5]),
    "cb-core-only": (tp.CrystalBall, -1.0, 3.0, [0.0, 1.0, 2.0, 3.0]),
    "cb-core-far": (tp.CrystalBall, 30.0, 40.0, [0.0, 1.0, 2.0, 3.0]),
    "cb-tail-only": (tp.CrystalBall, -40.0, -30.0, [0.0, 1.0, 2.0, 3.0]),
    "cb-tail-ends-at-junction": (tp.CrystalBall, -5.0, -2.0, [0.0, 1.0, 2.0, 3.0]),
    "cb-tail-far-n-one": (tp.CrystalBall, -1e4, -3e3, [0.0, 1.0, 1.0, 1.0]),
    "cb-tail-narrow": (tp.CrystalBall, -5.0000001, -5.0, [0.0, 1.0, 1.0, 2.5]),
    "cb-across-far": (tp.CrystalBall, -40.0, -30.0, [0.0, 1.0, 35.0, 3.0]),
    "cb-narrow-junction": (tp.CrystalBall, -2.0000005, -1.9999995, [0.0, 1.0, 2.0, 3.0]),
    "cb-narrow-far-junction": (tp.CrystalBall, -30.0000005, -29.9999995, [0.0, 1.0, 30.0, 1.0]),
    "cb-narrow-far-junction-scaled": (tp.CrystalBall, 0.3 - 33.0 - 5.5e-8, 0.3 - 33.0 + 5.5e-8,
                                      [0.3, 1.1, 30.0, 3.0]),
    "cb-junction-to-peak": (tp.CrystalBall, -2.5, 0.0, [0.0, 1.0, 2.0, 3.0]),
    # Double Crystal Ball: both tails, one, none, each alone.
    "dcb-both": (tp.DoubleCrystalBall, -10.0, 10.0, [0.2, 1.1, 1.5, 3.0, 2.0, 5.0]),
    "dcb-n-one": (tp.DoubleCrystalBall, -10.0, 10.0, [0.2, 1.1, 1.5, 1.0, 2.0, 1.0]),
    "dcb-high-tail-only": (tp.DoubleCrystalBall, 30.0, 40.0, [0.0, 1.0, 1.5, 3.0, 2.0, 5.0]),
    "dcb-high-across-far": (tp.DoubleCrystalBall, 30.0, 40.0, [0.0, 1.0, 1.5, 3.0, 35.0, 5.0]),
    "dcb-low-tail-only": (tp.DoubleCrystalBall, -40.0, -30.0, [0.0, 1.0, 1.5, 3.0, 2.0, 5.0]),
    "dcb-narrow-high-junction": (tp.DoubleCrystalBall, 1.0, 1.000001,
                                 [0.0, 1.0, 1.5, 3.0, 1.0000005, 5.0]),
    "dcb-narrow-far-junction": (tp.DoubleCrystalBall, 0.3 + 22.0 - 5.5e-7, 0.3 + 22.0 + 5.5e-7,
                                [0.3, 1.1, 2.0, 3.0, 20.0, 1.5]),
    "dcb-core-only": (tp.DoubleCrystalBall, -1.0, 1.0, [0.0, 1.0, 1.5, 3.0, 2.0, 5.0]),
    "dcb-wide": (tp.DoubleCrystalBall, -50.0, 50.0, [0.0, 1.0, 0.5, 1.2, 0.7, 0.9]),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_values_and_derivatives_match_mpmath(case):
    check_against_mpmath(*case)


def tail_arguments():
    alphas = st.floats(0.1, 20.0)
    ns = st.one_of(st.floats(0.1, 1000.0), st.just(1.0),
                   st.floats(-12, -2).map(lambda e: 1.0 + 10.0**e),
                   st.floats(-12, -2).map(lambda e: 1.0 - 10.0**e))
    return st.tuples(alphas, ns)


@settings(derandomize=True, max_examples=40, deadline=None)
@given(st.data())
def test_random_shapes_and_ranges_match_mpmath(data):
    """Any shape, over a range anywhere from 45 standard deviations below the
    peak to 40 above, as wide as 20 or as narrow as 1e-7 of them."""
    kind = data.draw(st.sampled_from(list(NAMES)))
    mu = data.draw(st.floats(-5.0, 5.0))
    sigma = data.draw(st.floats(-2.0, 1.0).map(lambda e: 10.0**e))
    start = data.draw(st.floats(-45.0, 40.0))
    width = data.draw(st.floats(-7.0, 1.3).map(lambda e: 10.0**e))
    lo, hi = mu + start * sigma, mu + (start + width) * sigma
    if not lo < hi:
        return
    arguments = [mu, sigma]
    if kind is not tp.Gaussian:
        arguments += data.draw(tail_arguments())
    if kind is tp.DoubleCrystalBall:
        arguments += data.draw(tail_arguments())
    check_against_mpmath(kind, lo, hi, arguments)
