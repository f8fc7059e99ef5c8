#!/usr/bin/env python3
"""Checks the includes between the folders of src against the allowed arrows.

The folders of src/fit stand on floors, each answering one question (see
docs/developers/architecture.md), on top of the minimizer (src/minimizer), which
includes nothing of theirs. A file may include its own folder and the
folders that ALLOWED lists for it, nothing else: an arrow missing from the
table fails, so the table is the map of who may lean on whom. src/python
reaches the fit only through the driver's header (fit/splot.h), the inputs
it converts and the fit's ground floor.

    python scripts/check_includes.py            # exits 1 on an arrow outside ALLOWED
    python scripts/check_includes.py --list     # also prints the allowed graph, floor by
                                                # floor, with the includes behind each arrow
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import re
import sys

# Folder -> the folders its files may include, floor by floor from the
# ground up. "driver" is src/fit's own top (splot.h and splot.cc).
ALLOWED: dict[str, tuple[str, ...]] = {
    # The bound-constrained minimizer, which knows nothing of the fit.
    "minimizer": (),
    # The fit's ground floor: the error type and its texts, text formatting,
    # the interrupt check, the policy constants, the row-major output matrix.
    "core": ("minimizer",),
    # The vector logarithm and the choice of its kernel.
    "batch_log": (),
    # Our own exponential of many values, on the logarithm's vector lanes
    # and processor checks.
    "batch_exp": ("batch_log",),
    # One fit's inputs: events, PDFs, shape parameters, settings, validation.
    "inputs": ("minimizer", "core"),
    # The built-in densities: their kernels, normalised over their range,
    # with exact derivatives, and their adapter to the fit's PDF interface.
    "densities": ("minimizer", "core", "inputs", "batch_exp"),
    # The model at one shape point: its columns, the mixture density and the
    # yield information.
    "model": ("minimizer", "core"),
    # The joint extended NLL, its gradient and its final Hessian.
    "likelihood": ("minimizer", "core", "inputs", "batch_log", "model"),
    # The sPlot covariance and the sWeights.
    "sweights": ("minimizer", "core", "inputs", "model"),
    # The scales of the minimizer's coordinates and of its tests.
    "scales": ("minimizer", "core", "inputs", "likelihood", "model"),
    # The minimizer's runs that make up one fit, and the refit rules.
    "runs": ("minimizer", "core", "inputs", "likelihood", "scales"),
    # The statistical uncertainties of a weighted fit (the sandwich).
    "uncertainties": ("minimizer", "core", "likelihood", "model"),
    # One complete fit.
    "driver": ("minimizer", "core", "inputs", "likelihood", "model", "sweights", "scales",
               "runs", "uncertainties"),
    # The extension module.
    "python": ("core", "inputs", "densities", "driver"),
}
# The one file of the driver that src/python may include.
DRIVER_HEADER = "fit/splot.h"

INCLUDE = re.compile(r'^\s*#\s*include\s+"((?:fit|minimizer)/[^"]+)"', re.M)
ROOT = pathlib.Path(__file__).resolve().parent.parent


def folder(path: str) -> str:
    """The folder a path below src (as included: fit/..., minimizer/...) lies in."""
    parts = path.split("/")
    if parts[0] != "fit":
        return parts[0]
    return parts[1] if len(parts) > 2 else "driver"


def fault_of(source: str, included: str) -> str | None:
    target = folder(included)
    if target not in ALLOWED:
        return "lies in no known folder"
    if target == source:
        return None
    if target not in ALLOWED[source]:
        return f"{source} -> {target} is not an allowed arrow"
    if source == "python" and target == "driver" and included != DRIVER_HEADER:
        return f"python reaches the driver only through {DRIVER_HEADER}"
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", action="store_true",
                        help="print the allowed graph and the includes behind each arrow")
    arguments = parser.parse_args()
    arrows: collections.Counter[tuple[str, str]] = collections.Counter()
    faults = []
    for file in sorted((ROOT / "src").rglob("*")):
        if file.suffix not in {".h", ".cc", ".inc"}:
            continue
        relative = file.relative_to(ROOT / "src").as_posix()
        source = folder(relative)
        if source not in ALLOWED:
            faults.append(f"{relative}: lies in no known folder")
            continue
        for included in INCLUDE.findall(file.read_text()):
            fault = fault_of(source, included)
            if fault:
                faults.append(f"{relative}: includes {included} ({fault})")
            elif folder(included) != source:
                arrows[(source, folder(included))] += 1
    if arguments.list:
        for source, targets in ALLOWED.items():
            used = ", ".join(f"{t} ({arrows[(source, t)]})" if arrows[(source, t)] else f"{t} (unused)"
                             for t in targets)
            print(f"{source:>13} -> {used or '(nothing)'}")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
