"""The ShapeParameter class: construction, properties and representation."""

import math

import pytest

from conftest import assert_argument_note
import tarnwex
from tarnwex import ShapeParameter


def test_defaults_are_unbounded():
    parameter = ShapeParameter("mu", 0.5)
    assert parameter.lower == -math.inf
    assert parameter.upper == math.inf
    assert repr(parameter).endswith(", initial=0.5, lower=-inf, upper=inf)")


def test_invalid_values_are_kept_until_splot_checks_them():
    parameter = ShapeParameter("", math.nan, 5.0, 1.0)
    assert parameter.name == ""
    assert math.isnan(parameter.initial)
    assert (parameter.lower, parameter.upper) == (5.0, 1.0)


def test_arguments_may_be_given_by_keyword_and_convert_through_float():
    class Half:
        def __float__(self):
            return 0.5

    parameter = ShapeParameter(upper=3, lower=True, initial=Half(), name="x")
    assert (parameter.initial, parameter.lower, parameter.upper) == (0.5, 1.0, 3.0)
    assert type(parameter.upper) is float


@pytest.mark.parametrize(
    ("name", "initial", "lower", "upper", "expected"),
    [
        ("mu", 1e-8, -math.inf, math.inf, 'ShapeParameter(name="mu", initial=0.00000001, lower=-inf, upper=inf)'),
        ("w", 2.0, -0.0, 1e21, 'ShapeParameter(name="w", initial=2, lower=-0, upper=1000000000000000000000)'),
        ("v", 2.0**60, -1e23, math.inf, 'ShapeParameter(name="v", initial=1152921504606847000, lower=-100000000000000000000000, upper=inf)'),
        ("n", math.nan, -2.0, 0.1, 'ShapeParameter(name="n", initial=NaN, lower=-2, upper=0.1)'),
        ('a"b\\c', 0.0, 0.0, 1.0, 'ShapeParameter(name="a\\"b\\\\c", initial=0, lower=0, upper=1)'),
        ("t\tr\rn\nz\0", 0.0, 0.0, 1.0, 'ShapeParameter(name="t\\tr\\rn\\nz\\0", initial=0, lower=0, upper=1)'),
        ("it's é ü 質量", 0.0, 0.0, 1.0, "ShapeParameter(name=\"it's é ü 質量\", initial=0, lower=0, upper=1)"),
        ("bell\x07", 0.0, 0.0, 1.0, 'ShapeParameter(name="bell\\u{7}", initial=0, lower=0, upper=1)'),
        ("e\u0301", 0.0, 0.0, 1.0, 'ShapeParameter(name="e\\u{301}", initial=0, lower=0, upper=1)'),
        ("nbsp\u00a0zw\u200d", 0.0, 0.0, 1.0, 'ShapeParameter(name="nbsp\\u{a0}zw\\u{200d}", initial=0, lower=0, upper=1)'),
    ],
)
def test_representation_escapes_the_name_and_writes_shortest_numbers(name, initial, lower, upper, expected):
    parameter = ShapeParameter(name, initial, lower, upper)
    assert repr(parameter) == expected
    assert str(parameter) == expected


@pytest.mark.parametrize(
    ("arguments", "keywords", "error", "noted"),
    [
        ((1, 0.0), {}, TypeError, "name"),
        (("\ud800", 0.0), {}, UnicodeEncodeError, "name"),
        (("a", "0.5"), {}, TypeError, "initial"),
        (("a", 0.0, None), {}, TypeError, "lower"),
        (("a", 0.0), {"upper": 10**400}, OverflowError, "upper"),
        (("a",), {}, TypeError, None),
        (("a", 0.0), {"initial": 1.0}, TypeError, None),
        (("a", 0.0), {"step": 1.0}, TypeError, None),
    ],
)
def test_bad_constructor_arguments_raise_with_a_note_naming_the_argument(arguments, keywords, error, noted):
    with pytest.raises(error) as raised:
        ShapeParameter(*arguments, **keywords)
    if noted is not None:
        assert_argument_note(raised.value, noted)


def test_instances_are_immutable_and_compare_by_identity():
    parameter = ShapeParameter("mu", 1.0)
    with pytest.raises(AttributeError):
        parameter.initial = 2.0
    with pytest.raises(AttributeError):
        del parameter.name
    with pytest.raises(AttributeError):
        parameter.extra = 1
    twin = ShapeParameter("mu", 1.0)
    assert parameter != twin
    assert parameter == parameter
    assert hash(parameter) != hash(twin)


def test_class_is_final_and_documented():
    with pytest.raises(TypeError):
        type("Sub", (ShapeParameter,), {})
    assert ShapeParameter.__module__ == "tarnwex"
    assert ShapeParameter.__text_signature__ == "(name, initial, lower=..., upper=...)"
    assert ShapeParameter.__doc__.startswith("Shared shape parameter used by the joint yield-and-shape fit.")
    assert ShapeParameter.__doc__.endswith("Parameter names must be unique within a call to `splot`.")
    assert tarnwex.ShapeParameter is ShapeParameter
