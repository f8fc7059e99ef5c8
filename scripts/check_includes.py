#!/usr/bin/env python3
"""Lists the includes between the folders of src/fit and fails on one that runs back.

The folders of src/fit stand in one order, each answering one question:
inputs, batch_log, likelihood, sweights, scales, runs, errors, then the driver
(splot.h and splot.cc at the top). A file may include its own folder and
the folders before it, never a later one. src/python may include only the
driver's header and the inputs; src/minimizer nothing of src/fit.

    python scripts/check_includes.py            # exits 1 on an include that runs back
    python scripts/check_includes.py --list     # also prints every arrow between folders
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import re
import sys

ORDER = ["inputs", "batch_log", "likelihood", "sweights", "scales", "runs", "errors", "driver"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"(fit/[^"]+)"', re.M)
ROOT = pathlib.Path(__file__).resolve().parent.parent


def fit_folder(path: str) -> str:
    """The folder of src/fit that a path below it (as included: fit/...) lies in."""
    parts = path.split("/")
    return parts[1] if len(parts) > 2 else "driver"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", action="store_true", help="print every arrow between folders")
    arguments = parser.parse_args()
    arrows: collections.Counter[tuple[str, str]] = collections.Counter()
    faults = []
    for file in sorted((ROOT / "src").rglob("*")):
        if file.suffix not in {".h", ".cc", ".inc"}:
            continue
        relative = file.relative_to(ROOT / "src").as_posix()
        top = relative.split("/")[0]
        source = "python" if top == "python" else "minimizer" if top == "minimizer" else fit_folder(relative)
        for included in INCLUDE.findall(file.read_text()):
            target = fit_folder(included)
            if target != source:
                arrows[(source, target)] += 1
            if source == "python":
                allowed = included == "fit/splot.h" or target == "inputs"
            elif source == "minimizer":
                allowed = False
            else:
                if target not in ORDER:
                    faults.append(f"{relative}: includes {included}, which lies in no known folder")
                    continue
                allowed = ORDER.index(target) <= ORDER.index(source)
            if not allowed:
                faults.append(f"{relative}: includes {included} ({source} -> {target} runs back)")
    if arguments.list:
        for (source, target), count in sorted(arrows.items()):
            print(f"{source:>10} -> {target:<10} {count}")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
