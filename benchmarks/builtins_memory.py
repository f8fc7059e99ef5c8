"""Peak memory of one tarnwex fit of the toy with every shape free, in a fresh process.

    python benchmarks/builtins_memory.py [--events N] [--pdfs builtin|numpy]

Prints one JSON object. As in memory_probe.py, the baseline is this process
after the imports and the data, with freed heap pages handed back to the
system, and the high-water mark is reset (/proc/self/clear_refs) so that the
peak belongs to the fit alone.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import builtin_contenders  # noqa: E402
from memory_probe import _settle, _status_bytes  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=10**7)
    parser.add_argument("--pdfs", choices=["builtin", "numpy"], default="builtin")
    args = parser.parse_args()

    import tarnwex  # noqa: F401  (imported before the baseline, like NumPy)
    if args.pdfs == "builtin":
        import tarnwex_pdfs  # noqa: F401

    model = builtin_contenders.toy_model()
    data = model.make_data(args.events)
    run = {"builtin": builtin_contenders.run_tarnwex_builtin,
           "numpy": builtin_contenders.run_tarnwex_numpy}[args.pdfs]
    _settle()
    baseline = _status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    fit = run(model, data)
    peak = _status_bytes("VmHWM")
    k = model.n_components
    print(json.dumps({"events": args.events, "pdfs": args.pdfs, "valid": fit.notes["valid"],
                      "seconds": fit.seconds, "baseline_rss": baseline, "peak_hwm": peak,
                      "peak_above_baseline": peak - baseline,
                      "data_bytes": data.nbytes, "sweights_bytes": k * args.events * 8}))


if __name__ == "__main__":
    main()
