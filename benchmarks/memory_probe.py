"""Peak memory of one large fit, measured inside a fresh process.

Run as a script; prints one JSON object. The baseline is this process after
importing NumPy and tarnwex and generating the data, with freed heap pages
handed back to the system; the peak high-water mark is then reset
(/proc/self/clear_refs) so that the reported peak belongs to the measured step
alone. The data: 3 components over 2 features.

    --what fit     tarnwex.splot with the signal mean and width free
    --what yields  tarnwex.splot with every shape fixed
    --what pdfs    only the three PDF calls, their outputs held together (the
                   share of the peak that the Python densities themselves cost)
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import resource

import numpy as np

import tarnwex

LOW, HIGH = 0.0, 10.0
INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


def gauss(v, mu, sigma):
    z = (v - mu) / sigma
    return np.exp(-0.5 * z * z) * (INV_SQRT_2PI / sigma)


def expo(v, slope):
    return np.exp(-slope * v) * (slope / (1.0 - math.exp(-slope * HIGH)))


def make_data(n_events: int, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    n = [int(0.2 * n_events), int(0.3 * n_events)]
    n.append(n_events - sum(n))

    def truncated_expo(size, slope):
        return -np.log1p(-rng.random(size) * (1.0 - math.exp(-slope * HIGH))) / slope

    x = np.concatenate([np.clip(rng.normal(5.0, 0.5, n[0]), LOW, HIGH),
                        np.clip(rng.normal(3.0, 0.8, n[1]), LOW, HIGH),
                        truncated_expo(n[2], 0.4)])
    y = np.concatenate([np.clip(rng.normal(5.0, 1.0, n[0]), LOW, HIGH),
                        truncated_expo(n[1], 0.3),
                        rng.uniform(LOW, HIGH, n[2])])
    return np.column_stack([x, y])


PDFS = [
    lambda d, p: gauss(d[:, 0], p.get("mu", 5.0), p.get("sigma", 0.5)) * gauss(d[:, 1], 5.0, 1.0),
    lambda d, p: gauss(d[:, 0], 3.0, 0.8) * expo(d[:, 1], 0.3),
    lambda d, p: expo(d[:, 0], 0.4) * (1.0 / (HIGH - LOW)),
]


def _status_bytes(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def _settle() -> None:
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--what", choices=["fit", "yields", "pdfs"], default="fit")
    args = parser.parse_args()

    data = make_data(args.events)
    _settle()
    baseline = _status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

    out = {"events": args.events, "what": args.what, "baseline_rss": baseline}
    if args.what == "pdfs":
        held = [pdf(data, {"mu": 5.0, "sigma": 0.5}) for pdf in PDFS]
        out["held_bytes"] = sum(a.nbytes for a in held)
    else:
        shapes = None
        if args.what == "fit":
            shapes = [tarnwex.ShapeParameter("mu", 4.8, 3.0, 7.0),
                      tarnwex.ShapeParameter("sigma", 0.6, 0.1, 2.0)]
        result = tarnwex.splot(data, PDFS, shape_parameters=shapes)
        out["success"] = bool(result.success)
        out["yields"] = [float(v) for v in result.yields]
    out["peak_hwm"] = _status_bytes("VmHWM")
    out["peak_above_baseline"] = out["peak_hwm"] - baseline
    out["ru_maxrss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    n_components = len(PDFS)
    out["needed_bytes"] = {
        "data": data.nbytes,
        "density_table": n_components * args.events * 8,
        "sweights": n_components * args.events * 8,
    }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
