"""The uniform, exponential, Bernstein, Chebyshev and ARGUS densities against
mpmath at 80 digits: values to a relative 1e-12 wherever the true value is a
normal double, and derivatives with respect to every argument to a relative
1e-9 (or, where a derivative passes through zero, an absolute 1e-12 of the
density's largest value over the range). The points are the hard ones: the
range's edges and just outside them, slopes of 0, near 0 and so steep that
exp(slope * x) would overflow, polynomials that vanish at an end of the
range or turn negative inside it, ARGUS curvatures of 0, near 0 of either
sign and in the thousands, its endpoint inside the range, at its end and far
beyond it.

The reference is written from the shapes' definitions alone: the
exponential's normalisation as a plain difference of exponentials (with the
digits it loses added), the Bernstein basis summed term by term over its
known integral, each Chebyshev polynomial's integral by mpmath's numerical
integration, and ARGUS through the incomplete gamma function (c < 0) or the
confluent hypergeometric one (c > 0); derivatives by mpmath's numerical
differentiation of the normalised density, except for the Bernstein
densities of very high degree, whose derivatives are written out."""

import functools
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnwex_pdfs as tp

mp = pytest.importorskip("mpmath")
mp.mp.dps = 80

SMALLEST_NORMAL = 2.2250738585072014e-308


def digits_lost(small, large):
    """Extra digits for a difference of two numbers of size `large` that is
    `small`."""
    if small == 0:
        return 0
    return max(0, int(mp.log10(abs(large) / abs(small)))) + 10


def uniform(x, lo, hi):
    return 1 / (hi - lo)


def exponential(x, lo, hi, slope):
    if slope == 0:
        return 1 / (hi - lo)
    with mp.extradps(digits_lost(slope * (hi - lo), 1)):
        return slope * mp.exp(slope * x) / (mp.exp(slope * hi) - mp.exp(slope * lo))


def bernstein(x, lo, hi, *c):
    d = len(c) - 1
    t = (x - lo) / (hi - lo)
    polynomial = sum(c[i] * mp.binomial(d, i) * t**i * (1 - t) ** (d - i) for i in range(d + 1))
    return polynomial * (d + 1) / ((hi - lo) * sum(c))


@functools.lru_cache(maxsize=None)
def chebyshev_integral(n, precision):
    """The integral of T_n over [-1, 1], by numerical integration."""
    with mp.workprec(precision):
        return mp.quad(lambda u: mp.chebyt(n, u), [-1, 1])


def chebyshev(x, lo, hi, *a):
    u = 2 * (x - lo) / (hi - lo) - 1
    polynomial = 1 + sum(a[i] * mp.chebyt(i + 1, u) for i in range(len(a)))
    # The integral is linear in the coefficients: each T_n is integrated once.
    integral = 2 + sum(a[i] * chebyshev_integral(i + 1, mp.mp.prec) for i in range(len(a)))
    return polynomial / (integral * (hi - lo) / 2)


def argus_mass(lo, hi, m0, c):
    """The integral of x sqrt(y) exp(c y), y = 1 - (x/m0)^2, over [lo, min(hi, m0)],
    as m0^2 / 2 times that of sqrt(y) exp(c y) over [y1, y2]."""
    y2 = 1 - (lo / m0) ** 2
    y1 = 1 - (hi / m0) ** 2 if hi < m0 else mp.mpf(0)
    with mp.extradps(digits_lost(y2 - y1, y2) + 10):
        y2 = 1 - (lo / m0) ** 2
        y1 = 1 - (hi / m0) ** 2 if hi < m0 else mp.mpf(0)
        if c == 0:
            inner = (y2**1.5 - y1**1.5) * 2 / 3
        elif c < 0:
            k = -c
            if k * y1 > 1:
                inner = (mp.gammainc(1.5, k * y1) - mp.gammainc(1.5, k * y2)) / k**1.5
            else:
                inner = mp.gammainc(1.5, k * y1, k * y2) / k**1.5
        else:
            def from_zero(y):
                return 2 * y**1.5 / 3 * mp.hyp1f1(1.5, 2.5, c * y)

            inner = from_zero(y2) - from_zero(y1)
        return m0**2 / 2 * inner


def argus(x, lo, hi, m0, c):
    if x >= m0:
        return mp.mpf(0)
    y = 1 - (x / m0) ** 2
    return x * mp.sqrt(y) * mp.exp(c * y) / argus_mass(lo, hi, m0, c)


SHAPES = {
    tp.Uniform: (uniform, lambda n: ()),
    tp.Exponential: (exponential, lambda n: ("slope",)),
    tp.Bernstein: (bernstein, lambda n: tuple(f"c{i}" for i in range(n))),
    tp.Chebyshev: (chebyshev, lambda n: tuple(f"a{i + 1}" for i in range(n))),
    tp.Argus: (argus, lambda n: ("m0", "c")),
}


def reference(kind, x, lo, hi, arguments):
    """The density at x and its derivatives along each argument."""
    density = SHAPES[kind][0]
    x, lo, hi = mp.mpf(x), mp.mpf(lo), mp.mpf(hi)
    arguments = [mp.mpf(a) for a in arguments]
    if x < lo or x > hi or (kind is tp.Argus and x >= arguments[0]):
        return mp.mpf(0), [mp.mpf(0)] * len(arguments)
    derivatives = []
    for j, a in enumerate(arguments):
        def along(value, j=j):
            moved = list(arguments)
            moved[j] = value
            return density(x, lo, hi, *moved)

        # A central difference whose step is far below every scale of the
        # problem: the argument's own, the range's width, and for ARGUS the
        # distance of x from the endpoint.
        scale = min(max(abs(a), 1), hi - lo)
        if kind is tp.Argus:
            scale = min(scale, arguments[0] - x)
        derivatives.append(mp.diff(along, a, h=scale * mp.mpf("1e-30")))
    return density(x, lo, hi, *arguments), derivatives


def make(kind, lo, hi, names, column):
    if kind in (tp.Bernstein, tp.Chebyshev):
        return kind(column, (lo, hi), list(names))
    return kind(column, (lo, hi), *names)


def check_against_mpmath(kind, lo, hi, arguments, extra_points=()):
    names = SHAPES[kind][1](len(arguments))
    # The density describes the second column; the first holds other values.
    pdf = make(kind, lo, hi, names, 1)
    parameters = dict(zip(names, arguments))
    inside = np.concatenate([np.linspace(lo, hi, 7), extra_points])
    if kind is tp.Argus and arguments[0] <= hi:
        # Just below the endpoint, and at it, where the density drops to 0.
        inside = np.concatenate([inside, [arguments[0] * (1 - 1e-9), arguments[0]]])
    inside = inside[(inside >= lo) & (inside <= hi)]
    # A point on each side outside the range, where everything is 0.
    points = np.concatenate([inside, [np.nextafter(lo, -np.inf), np.nextafter(hi, np.inf)]])
    data = np.column_stack([np.full_like(points, 0.5 * (lo + hi)), points])
    values = pdf(data, parameters)
    gradient = pdf.gradient(data, parameters)
    assert sorted(gradient) == sorted(names)

    expected = [reference(kind, x, lo, hi, arguments) for x in points]
    # The largest value over the range, from the density itself on a fine
    # grid (its values are checked against the reference here) and from the
    # reference at the points.
    grid = np.linspace(lo, hi, 20001)
    largest = float(np.max(np.abs(pdf(np.column_stack([grid, grid]), parameters))))
    largest = max([largest] + [abs(float(value)) for value, _ in expected])
    for i, (x, (value, derivatives)) in enumerate(zip(points, expected)):
        where = f"x = {x!r}"
        if value == 0:
            assert values[i] == 0, where
        elif abs(value) >= SMALLEST_NORMAL:
            assert abs(values[i] / float(value) - 1) <= 1e-12, (where, values[i], float(value))
        for name, slope in zip(names, derivatives):
            got = gradient[name][i]
            assert math.isfinite(got), (where, name)
            if kind is tp.Argus and x >= arguments[0]:
                # At and past the endpoint the density is 0 on one side of m0
                # and rises like sqrt(m0 - x) on the other: no derivative to
                # compare with, and the kernel reports 0.
                assert got == 0, (where, name)
                continue
            allowed = max(1e-9 * abs(slope), 1e-12 * largest)
            assert abs(got - slope) <= allowed, (where, name, got, float(slope))


def near_largest_end(lo, hi, slope):
    """Points where exp(slope * x) has fallen by e, e^10 and e^300 from the
    end of the range where it is largest."""
    top = hi if slope > 0 else lo
    return [top - math.copysign(k, slope) / slope * math.copysign(1, slope) for k in (1, 10, 300)]


def argus_near_largest(lo, hi, m0, c):
    """Points where exp(c y) has fallen by e, e^10 and e^300 from the end of
    the support where it is largest (y = 1 - (x/m0)^2)."""
    top = lo if c > 0 else min(hi, m0)
    points = []
    for k in (1, 10, 300):
        square = top**2 + k / c * m0**2  # c (y - y_top) = -k
        if square > 0:
            points.append(math.sqrt(square))
    return points


CASES = {
    "uniform": (tp.Uniform, -2.5, 7.0, []),
    "uniform-narrow-far": (tp.Uniform, 1e6, 1e6 + 1e-4, []),
    # Exponential: flat, nearly flat on either side (the mean distance's
    # series and closed form meet at |slope (hi - lo)| = 1/2), moderate, and
    # so steep that exp(slope * x) itself overflows or underflows.
    "exp-zero": (tp.Exponential, 5.0, 5.6, [0.0]),
    "exp-tiny-rising": (tp.Exponential, 5.0, 5.6, [1e-13]),
    "exp-tiny-falling": (tp.Exponential, 5.0, 5.6, [-1e-9]),
    "exp-series-edge-below": (tp.Exponential, 0.0, 2.0, [0.2499999999]),
    "exp-series-edge-above": (tp.Exponential, 0.0, 2.0, [-0.2500000001]),
    "exp-moderate": (tp.Exponential, 5.0, 5.6, [-2.5]),
    "exp-steep-rising": (tp.Exponential, 0.0, 1.0, [1e3], near_largest_end(0.0, 1.0, 1e3)),
    "exp-steep-falling": (tp.Exponential, -3.0, 7.0, [-1e5], near_largest_end(-3.0, 7.0, -1e5)),
    "exp-overflowing": (tp.Exponential, 1e3, 1e3 + 2.0, [800.0], near_largest_end(1e3, 1e3 + 2.0, 800.0)),
    "exp-underflowing": (tp.Exponential, 1e3, 1e3 + 2.0, [-800.0], near_largest_end(1e3, 1e3 + 2.0, -800.0)),
    # Bernstein: constant, vanishing at either end, high degree, negative inside.
    "bernstein-constant": (tp.Bernstein, 1.0, 3.0, [2.5]),
    "bernstein-vanishing-low": (tp.Bernstein, 0.0, 1.0, [0.0, 1.0], [1e-12, 1e-300]),
    "bernstein-vanishing-high": (tp.Bernstein, 2.0, 3.3, [2.0, 1.0, 0.0], [3.3 - 1e-12]),
    "bernstein-degree-5": (tp.Bernstein, 5.0, 5.6, [3.0, 0.5, 1.0, 0.01, 2.0, 0.7]),
    "bernstein-degree-20": (tp.Bernstein, -1.0, 2.0, [1.0 + 0.5 * math.sin(i) for i in range(21)]),
    "bernstein-negative-inside": (tp.Bernstein, 0.0, 10.0, [1.0, -2.0, 1.5]),
    "bernstein-narrow-far": (tp.Bernstein, 1e3, 1e3 + 1e-3, [1.0, 3.0, 0.2, 1.0]),
    # Chebyshev: vanishing at either end (relative precision there), even and
    # odd terms, high degree, negative inside.
    "chebyshev-vanishing-low": (tp.Chebyshev, 0.0, 1.0, [1.0], [1e-12, 1e-30]),
    "chebyshev-vanishing-high": (tp.Chebyshev, 2.0, 3.3, [-1.0], [3.3 - 1e-12]),
    "chebyshev-quadratic": (tp.Chebyshev, 5.0, 5.6, [0.3, -0.2]),
    "chebyshev-degree-4": (tp.Chebyshev, -3.0, 7.0, [0.5, 0.3, 0.2, 0.1]),
    "chebyshev-degree-15": (tp.Chebyshev, 0.0, 1.0, [0.1 * math.cos(3 * i) for i in range(15)]),
    "chebyshev-negative-inside": (tp.Chebyshev, 0.0, 1.0, [0.0, -0.9, 0.0]),
    # ARGUS: the usual shape, c at and near 0 of both signs, large |c| of
    # both signs, m0 inside the range, at its end, beyond and far beyond it,
    # and a support barely wider than a point.
    "argus-usual": (tp.Argus, 5.2, 5.29, [5.29, -20.0]),
    "argus-c-zero": (tp.Argus, 5.2, 5.29, [5.29, 0.0]),
    "argus-c-tiny-positive": (tp.Argus, 5.2, 5.29, [5.29, 1e-12]),
    "argus-c-tiny-negative": (tp.Argus, 5.2, 5.29, [5.3, -1e-9]),
    "argus-c-small": (tp.Argus, 0.0, 1.0, [1.0, 3e-3]),
    "argus-m0-inside": (tp.Argus, 5.2, 5.29, [5.285, -5.0]),
    "argus-m0-beyond": (tp.Argus, 5.2, 5.29, [5.3, -40.0]),
    "argus-m0-far": (tp.Argus, 5.2, 5.29, [1e4, 2.0]),
    "argus-from-zero-rising": (tp.Argus, 0.0, 1.0, [0.8, 30.0]),
    "argus-c-large-negative": (tp.Argus, 5.2, 5.29, [5.29, -1e3], argus_near_largest(5.2, 5.29, 5.29, -1e3)),
    "argus-c-large-negative-beyond": (tp.Argus, 5.2, 5.29, [6.0, -1e3], argus_near_largest(5.2, 5.29, 6.0, -1e3)),
    "argus-c-huge-negative-beyond": (tp.Argus, 5.2, 5.29, [5.3, -1e5], argus_near_largest(5.2, 5.29, 5.3, -1e5)),
    "argus-c-large-positive": (tp.Argus, 0.0, 1.0, [0.5, 1e4], argus_near_largest(0.0, 1.0, 0.5, 1e4)),
    "argus-c-large-positive-beyond": (tp.Argus, 1.0, 4.0, [5.0, 1e3], argus_near_largest(1.0, 4.0, 5.0, 1e3)),
    "argus-support-point": (tp.Argus, 5.2, 6.2, [5.2 * (1 + 1e-9), -3.0],
                            [5.2 * (1 + 0.3e-9), 5.2 * (1 + 0.9e-9)]),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_values_and_derivatives_match_mpmath(case):
    check_against_mpmath(*case)


@pytest.mark.parametrize("degree", [1000, 1500])
def test_bernstein_of_high_degree_matches_mpmath(degree):
    """Degrees where binom(d, d/2) t^(d/2) or (1 - t)^d leave the double
    range. The derivative along c_k is (d + 1) / (w S) b_k - f / S."""
    lo, hi = 2.0, 3.3
    coefficients = [1.0 + 0.5 * math.sin(0.7 * k) for k in range(degree + 1)]
    names = [f"c{k}" for k in range(degree + 1)]
    pdf = tp.Bernstein(0, (lo, hi), names)
    parameters = dict(zip(names, coefficients))
    points = np.array([lo, hi, lo + 1e-4, hi - 1e-4, 2.4, 2.65, 3.0])
    data = points[:, None]
    values = pdf(data, parameters)
    gradient = pdf.gradient(data, parameters)
    width = mp.mpf(hi) - mp.mpf(lo)
    total = mp.fsum(mp.mpf(c) for c in coefficients)
    for i, x in enumerate(points):
        t = (mp.mpf(x) - lo) / width
        basis = [mp.binomial(degree, k) * t**k * (1 - t) ** (degree - k) for k in range(degree + 1)]
        value = (degree + 1) * mp.fsum(c * b for c, b in zip(coefficients, basis)) / (width * total)
        assert abs(values[i] / float(value) - 1) <= 1e-12, (x, values[i], float(value))
        for k in (0, 1, degree // 3, degree // 2, degree - 1, degree):
            expected = (degree + 1) * basis[k] / (width * total) - value / total
            got = gradient[f"c{k}"][i]
            assert abs(got - expected) <= max(1e-9 * abs(expected), 1e-12 * value), (x, k, got)


def signed_magnitudes(low, high):
    """0, or a number of either sign whose magnitude is 10^low to 10^high."""
    return st.one_of(
        st.just(0.0),
        st.tuples(st.sampled_from([-1.0, 1.0]), st.floats(low, high)).map(lambda p: p[0] * 10.0**p[1]),
    )


@settings(derandomize=True, max_examples=120, deadline=None)
@given(st.data())
def test_random_exponentials_and_arguses_match_mpmath(data):
    """Slopes from 0 to 1e4 per unit of the range's width, either sign; ARGUS
    curvatures from 0 to 1e4 of either sign over ranges from 0 or above,
    with m0 anywhere from just above lo to a hundred widths above hi."""
    lo = data.draw(st.one_of(st.just(0.0), st.floats(0.0, 10.0)))
    width = data.draw(st.floats(-3.0, 1.0).map(lambda e: 10.0**e))
    hi = lo + width
    if data.draw(st.booleans()):
        slope = data.draw(signed_magnitudes(-12.0, 4.0)) / width
        check_against_mpmath(tp.Exponential, lo, hi, [slope],
                             near_largest_end(lo, hi, slope) if slope else [])
        return
    m0 = lo + width * data.draw(st.one_of(st.floats(0.01, 1.0), st.just(1.0),
                                          st.floats(-6.0, 2.0).map(lambda e: 1.0 + 10.0**e)))
    c = data.draw(signed_magnitudes(-12.0, 4.0))
    if not (m0 > lo and hi > lo):
        return
    check_against_mpmath(tp.Argus, lo, hi, [m0, c],
                         argus_near_largest(lo, hi, m0, c) if c else [])


REFUSALS = {
    "bernstein-sum": (tp.Bernstein, (0.0, 1.0), [[1.0, -1.5]],
                      "the Bernstein coefficients must have a positive sum, got -0.5"),
    "chebyshev-integral": (tp.Chebyshev, (0.0, 1.0), [[0.2, 3.0]],
                           "the Chebyshev coefficients must give the polynomial a positive integral"),
    "argus-m0-below": (tp.Argus, (5.0, 6.0), [4.9, -1.0], "m0 must exceed the range's lower end, got 4.9"),
    "argus-m0-at-lo": (tp.Argus, (5.0, 6.0), [5.0, -1.0], "m0 must exceed the range's lower end, got 5"),
    "argus-negative-range": (tp.Argus, (-1.0, 6.0), [5.0, -1.0], "range that starts at 0 or above"),
}


@pytest.mark.parametrize("case", REFUSALS.values(), ids=REFUSALS.keys())
def test_out_of_domain_arguments_are_refused(case):
    kind, fit_range, arguments, message = case
    data = np.array([[0.5 * (fit_range[0] + fit_range[1])]])
    with pytest.raises(ValueError, match=message):
        kind(0, fit_range, *arguments)(data, {})
