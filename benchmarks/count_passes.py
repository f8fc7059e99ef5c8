"""Likelihood passes and distinct points of tarnwex's benchmark fits.

    python benchmarks/count_passes.py MODULE_DIR

MODULE_DIR holds a tarnwex module built with -DTARNWEX_COUNT_PASSES=ON
(scripts/bench.sh builds one into build/count/src/python); such a build
writes "tarnwex-passes P distinct D" to its standard error after every fit.
Each fit runs in its own process, so the counting build never meets the
installed one. Prints one JSON object: case name to [passes, distinct].
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CASES = {f"{n} {mode}": f"contenders.run_tarnwex(toy.make_data({n}), {shapes})"
         for n in (10_000, 100_000, 1_000_000, 10_000_000)
         for shapes, mode in ((False, "yields only"), (True, "yields + mean, width"))}
CASES["rich"] = "rich_contenders.run_tarnwex(rich_toy.make_data())"


def count(module_dir: str, call: str) -> list:
    code = ("import sys; sys.path[:0] = [{!r}, {!r}]\n"
            "import contenders, rich_contenders, rich_toy, toy\n{}").format(module_dir, str(HERE), call)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": ""}, check=True)
    match = re.findall(r"tarnwex-passes (\d+) distinct (\d+)", proc.stderr)
    if not match:
        raise RuntimeError(f"{module_dir} is not a counting build: {proc.stderr.strip()}")
    return [int(v) for v in match[-1]]


def main() -> None:
    module_dir = sys.argv[1]
    print(json.dumps({name: count(module_dir, call) for name, call in CASES.items()}))


if __name__ == "__main__":
    main()
