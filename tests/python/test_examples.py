"""The examples and the README's quickstart run as a new user runs them."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
README_QUICKSTART_MAX_LINES = 25
SMALL_SAMPLE = "2000"


def run_python(args, cwd, stdin=None):
    env = dict(os.environ, MPLBACKEND="Agg")
    done = subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, input=stdin, capture_output=True, text=True, timeout=900
    )
    assert done.returncode == 0, f"stdout:\n{done.stdout}\nstderr:\n{done.stderr}"
    return done.stdout


def run_example(name, *args, cwd):
    return run_python([str(EXAMPLES / name), *args], cwd)


def assert_is_png(path):
    assert path.is_file(), f"{path} was not written"
    assert path.read_bytes()[: len(PNG_SIGNATURE)] == PNG_SIGNATURE


@pytest.fixture
def matplotlib():
    return pytest.importorskip("matplotlib")


def test_quickstart_prints_its_fit_and_saves_a_png(matplotlib, tmp_path):
    figure = tmp_path / "quickstart.png"
    out = run_example("quickstart.py", "--events", SMALL_SAMPLE, "--output", str(figure), cwd=tmp_path)
    for label in ("signal", "background", "mean", "width", "slope", "status", "evaluations", "time"):
        assert label in out
    assert "success=True" in out
    assert_is_png(figure)


def without_times(out):
    return [line for line in out.splitlines() if "time" not in line and "figure" not in line]


def test_validation_reports_pulls_and_sum_rules_the_same_on_one_process_and_two(matplotlib, tmp_path):
    figure = tmp_path / "pulls.png"
    toys = ["--toys", "3", "--events", "1000", "--output", str(figure), "--small-toys", "3"]
    out = run_example("validation.py", *toys, "--jobs", "2", cwd=tmp_path)
    assert "| signal yield |" in out and "| background yield |" in out
    assert "| signal yield (150 signal in 20000) |" in out
    assert "sum of signal sWeights" in out and "converged: 3 of 3 fits" in out
    assert_is_png(figure)
    assert without_times(run_example("validation.py", *toys, "--jobs", "1", cwd=tmp_path)) == without_times(out)


def test_analysis_tools_fit_from_a_root_file_agrees_between_densities_and_with_the_truth(tmp_path):
    for module in ("matplotlib", "scipy", "pandas", "uproot", "hist", "mplhep", "numba_stats"):
        pytest.importorskip(module, reason=f"the analysis-tools example needs {module} (the tools extra)")
    figure, events = tmp_path / "tools.png", tmp_path / "events.root"
    out = run_example("analysis_tools.py", "--events", "8000", "--root", str(events), "--output", str(figure),
                      cwd=tmp_path)
    difference = re.search(r"fits differ by at most (\S+) errors", out)
    assert float(difference.group(1)) < 1e-4, out  # the minimizer's convergence, not the densities
    chi2 = [float(value) for value in re.findall(r"chi2/ndf = (\S+)", out)]
    assert len(chi2) == 2 and max(chi2) < 2.0, out
    assert out.count("Kendall's tau") == 2
    assert events.is_file()
    assert_is_png(figure)


def test_validation_shows_its_progress_on_a_terminal_only(matplotlib, tmp_path):
    pytest.importorskip("tqdm")
    import fcntl
    import pty
    import struct
    import termios

    args = [sys.executable, str(EXAMPLES / "validation.py"), "--toys", "3", "--events", "500",
            "--small-toys", "0", "--jobs", "1", "--output", str(tmp_path / "pulls.png")]
    env = dict(os.environ, MPLBACKEND="Agg")
    terminal, child_side = pty.openpty()
    # 24 lines of 100 columns: a new terminal is 0 wide, where no bar fits.
    fcntl.ioctl(child_side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        done = subprocess.run(args, cwd=tmp_path, env=env, stdout=subprocess.DEVNULL, stderr=child_side, timeout=900)
    finally:
        os.close(child_side)
    shown = b""
    try:
        while chunk := os.read(terminal, 4096):
            shown += chunk
    except OSError:  # the terminal's other side is closed: all is read
        pass
    os.close(terminal)
    assert done.returncode == 0 and "toys: 100%" in shown.decode() and "3/3" in shown.decode()
    piped = subprocess.run(args, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=900)
    assert piped.returncode == 0 and "toys:" not in piped.stderr


def test_dask_toys_give_validations_table_and_slurm_configuration_is_built(matplotlib, tmp_path):
    # Found without importing: dask_jobqueue replaces the interrupt handler of
    # the process that imports it, so it is only ever imported in a child.
    for module in ("distributed", "dask_jobqueue"):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"the Dask example needs {module} (the dask extra)")
    toys = ["--toys", "4", "--events", "1000"]
    out = run_example("dask_toys.py", *toys, "--workers", "2", cwd=tmp_path)
    table = run_example("validation.py", *toys, "--small-toys", "0", "--jobs", "1", cwd=tmp_path)
    assert without_times(out) == without_times(table)

    script = run_python(["-c", (
        "import sys; sys.path.insert(0, sys.argv[1]); import dask_toys\n"
        "cluster = dask_toys.slurm_cluster(scheduler_options={'host': '127.0.0.1'})\n"
        "try:\n    print(cluster.job_script())\nfinally:\n    cluster.close()"), str(EXAMPLES)],
        tmp_path)
    assert "#SBATCH --cpus-per-task=1" in script and "#SBATCH -t 01:00:00" in script
    assert "distributed.cli.dask_worker tcp://127.0.0.1:" in script and "--nthreads 1" in script


def test_weighted_fit_compares_the_plain_and_the_signed_weight_fit(tmp_path):
    out = run_example("weighted.py", "--events", SMALL_SAMPLE, cwd=tmp_path)
    assert "data only" in out and "data - control/4" in out
    assert "signal mean decay time" in out and "H^-1 C H^-1" in out


def test_errors_example_shows_each_real_message(tmp_path):
    out = run_example("errors.py", "--events", SMALL_SAMPLE, cwd=tmp_path)
    expected = [
        "tarnwex.SPlotError: PDF evaluation failed: PDF 1 returned an invalid value for event ",
        "tarnwex.SPlotError: singular yield covariance: ",
        "ValueError: invalid input: bounds must contain initial value: initial=0.5, bounds=(0.002, 0.1)",
        "KeyError: 'sigma'",
        "tarnwex.SPlotError: PDF evaluation failed: ValueError: width 0.03",
        "ValueError: PDF 0 must return a one-dimensional float64 NumPy array",
        "ValueError: invalid input: event coordinates must be finite",
        f"ValueError: invalid input: event_weights has length {int(SMALL_SAMPLE) - 1}, expected {SMALL_SAMPLE}",
        "TypeError: weights must have 1 dimension, not 2",
        'ValueError: invalid input: shape parameter name "mean" is duplicated',
        "message: Message: Maximum number of steps reached (3)",
    ]
    for text in expected:
        assert text in out


def test_readme_quickstart_is_short_and_runs_as_written(tmp_path):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", readme, re.DOTALL)
    assert blocks, "README.md has no python example"
    quickstart = blocks[0]
    assert len(quickstart.strip().splitlines()) <= README_QUICKSTART_MAX_LINES
    out = run_python(["-"], tmp_path, stdin=quickstart)
    assert out.strip()
