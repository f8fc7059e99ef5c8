"""The HTML table a notebook shows for a result."""

import math
from html.parser import HTMLParser

import numpy as np

import tarnwex
import tarnwex_pdfs as tp
from conftest import HIGH, LOW, two_component_sample
from test_result_pickling import vanished_peak_fit


class Table(HTMLParser):
    """Rows of (text, attributes) cells."""

    def __init__(self, html):
        super().__init__()
        self.rows, self.cell = [], None
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([])
        elif tag in ("td", "th"):
            self.cell = ["", dict(attrs)]
            self.rows[-1].append(self.cell)

    def handle_endtag(self, tag):
        self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell[0] += data


def parameter_rows(result):
    """Name to (value text, error text, value title, lower, upper, note) by row index."""
    rows = Table(result._repr_html_()).rows
    header = next(i for i, row in enumerate(rows) if [c[0] for c in row][1:3] == ["Name", "Value"])
    return rows[:header], {int(r[0][0]): r[1:] for r in rows[header + 1:]}


def test_the_table_lists_every_parameter_in_the_joint_covariance_order():
    name = 'w<i&d"th'
    parameters = [tarnwex.ShapeParameter("mu", 4.5, LOW, HIGH), tarnwex.ShapeParameter(name, 1.0, 0.1, 3.0)]
    result = tarnwex.splot(two_component_sample(600, 1400, seed=3),
                           [tp.Gaussian(0, (LOW, HIGH), "mu", name), tp.Exponential(0, (LOW, HIGH), -0.3)],
                           shape_parameters=parameters)
    head, rows = parameter_rows(result)
    assert head[0][0][0].startswith("\u2714 " + result.message)
    assert float(head[1][1][0]) == result.minimum_nll
    assert head[2][1][0] == (f"{result.objective_evaluations} objective, {result.gradient_evaluations} gradient, "
                             f"{result.hessian_evaluations} Hessian")
    names = ["yield 0", "yield 1", *result.shape_parameters]
    values = [*result.yields, *result.shape_parameters.values()]
    errors = np.sqrt(np.diag(result.fit_covariance))
    bounds = [(2.0**-52, ""), (2.0**-52, ""), (LOW, HIGH), (0.1, 3.0)]
    assert sorted(rows) == list(range(4))
    for i, (cells, value, error, (lower, upper)) in enumerate(zip(rows.values(), values, errors, bounds)):
        shown, error_shown, note = cells[1][0], cells[2][0], cells[5][0]
        assert cells[0][0] == names[i]
        assert float(cells[1][1]["title"]) == value and float(cells[2][1]["title"]) == error
        # Rounded to the error's second significant digit, or finer.
        assert abs(float(shown) - value) <= 0.5 * 10 ** (math.floor(math.log10(error)) - 1) * (1 + 1e-12)
        assert abs(float(error_shown) - error) <= 0.5 * 10 ** (math.floor(math.log10(error)) - 1) * (1 + 1e-12)
        # A long bound shows to three digits, in full on hover.
        assert float(cells[3][1].get("title", cells[3][0])) == lower and len(cells[3][0]) <= 10 and cells[4][0] == ("" if upper == "" else f"{upper:g}")
        assert note == ""


def test_bounds_and_undetermined_errors_are_marked_and_failure_is_not_success():
    result = vanished_peak_fit()
    head, rows = parameter_rows(result)
    notes = {cells[0][0]: cells[5][0] for cells in rows.values()}
    assert notes["yield 0"].startswith("at lower bound")
    assert notes["sigma"].endswith("error undetermined") and notes["yield 1"] == ""
    assert rows[2][2][0] == "NaN"

    stopped = tarnwex.splot(two_component_sample(300, 700, seed=5),
                            [tp.Gaussian(0, (LOW, HIGH), "mu", 0.5), tp.Uniform(0, (LOW, HIGH))],
                            shape_parameters=[tarnwex.ShapeParameter("mu", 3.0, 2.0, 8.0)], max_steps=1)
    assert not stopped.success
    status = parameter_rows(stopped)[0][0][0][0]
    assert status.startswith("\u2718 ") and stopped.message in status
