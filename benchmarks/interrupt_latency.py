"""How soon Ctrl-C stops a long fit.

A SIGALRM timer stands in for Ctrl-C. Its Python handler raises
KeyboardInterrupt, but Python runs it only when the interpreter looks at its
pending signals: between bytecodes of a PDF, or when the fit's C++ code asks
(PyErr_CheckSignals). The latency of one interrupt is therefore the time from
the alarm's scheduled fire time to the handler; the exception then leaves
splot at once. If the fit never asks, the handler runs only once splot has
returned: such rows are marked "after return".

Per model, the script runs one uninterrupted fit with a 1 ms repeating timer
that notes every moment the fit answered a signal (its longest silence shows
where an interrupt waits longest), times a second one, then arms the alarm at
fractions of that duration; "handled at" is the fraction at which the handler
ran. Time spent inside the user's PDFs is the user's and is reported apart:
"outside PDF" is the latency minus its overlap with the PDF calls.

    python benchmarks/interrupt_latency.py                    # models a and c, 10^7 events
    python benchmarks/interrupt_latency.py --events 1000000 --models a b c
"""

from __future__ import annotations

import argparse
import math
import signal
import sys
import time

import numpy as np

import tarnwex

LOW, HIGH = 0.0, 10.0


def truncated_normal(rng, mu, sigma, n):
    x = rng.normal(mu, sigma, n)
    outside = (x < LOW) | (x > HIGH)
    while outside.any():
        x[outside] = rng.normal(mu, sigma, outside.sum())
        outside = (x < LOW) | (x > HIGH)
    return x


def gauss(x, mu, sigma):
    # Normalised over [LOW, HIGH].
    s = sigma * math.sqrt(2.0)
    norm = 0.5 * (math.erf((HIGH - mu) / s) - math.erf((LOW - mu) / s))
    return np.exp(-(((x - mu) / s) ** 2)) / (sigma * math.sqrt(2.0 * math.pi) * norm)


def flat(x):
    return np.full(len(x), 1.0 / (HIGH - LOW))


class PdfCalls:
    """Wraps the PDFs and notes the interval of every call."""

    def __init__(self):
        self.intervals = []

    def wrap(self, pdf):
        def timed(data, params):
            start = time.perf_counter()
            try:
                return pdf(data, params)
            finally:
                self.intervals.append((start, time.perf_counter()))

        return timed

    def overlap(self, lo, hi):
        return sum(max(0.0, min(hi, b) - max(lo, a)) for a, b in self.intervals)

    def inside(self, t):
        return any(a <= t <= b for a, b in self.intervals)

    def total(self):
        return sum(b - a for a, b in self.intervals)


def make_model(name, n, rng):
    """Data, PDFs and shape parameters of one model."""
    if name in ("a", "c"):
        peaks = [(5.0, 0.7)]
    else:
        peaks = [(1.5, 0.5), (3.5, 0.5), (5.0, 0.5), (6.5, 0.5), (8.5, 0.5)]
    n_peak = int(0.7 * n) // len(peaks)
    x = np.concatenate([truncated_normal(rng, mu, sigma, n_peak) for mu, sigma in peaks]
                       + [rng.uniform(LOW, HIGH, n - n_peak * len(peaks))])
    data = x[:, None]
    if name == "c":
        pdfs = [lambda d, p: gauss(d[:, 0], p["mu"], p["sigma"]), lambda d, p: flat(d[:, 0])]
        params = [tarnwex.ShapeParameter("mu", 4.8, 3.0, 7.0),
                  tarnwex.ShapeParameter("sigma", 0.8, 0.2, 2.0)]
        return "shapes mu, sigma free, 2 components", data, pdfs, params
    # Fixed densities, computed once: the fit runs no Python code at all.
    columns = [gauss(x, mu, sigma) for mu, sigma in peaks] + [flat(x)]
    pdfs = [lambda d, p, c=c: c for c in columns]
    return f"yields only, {len(columns)} components", data, pdfs, None


class Watch:
    """Calls splot and notes when it returned, for the signal handlers."""

    def __init__(self):
        self.returned = None

    def hook(self, frame, event, arg):
        if arg is tarnwex.splot and event in ("c_return", "c_exception"):
            self.returned = time.perf_counter()

    @staticmethod
    def after_return(frame):
        # Once splot has returned, the first bytecode to run is this hook's
        # for splot's return: a handler that runs there ran after the fit.
        return (frame is not None and frame.f_code is Watch.hook.__code__
                and frame.f_locals.get("arg") is tarnwex.splot)

    def splot(self, data, pdfs, params):
        sys.setprofile(self.hook)
        try:
            return tarnwex.splot(data, pdfs, shape_parameters=params)
        finally:
            sys.setprofile(None)


def timeline_fit(data, pdfs, params):
    """One uninterrupted fit: its start, end, result and the moments it answered a signal."""
    answers = []

    def note(signum, frame):
        if not Watch.after_return(frame):
            answers.append(time.perf_counter())

    watch = Watch()
    signal.signal(signal.SIGALRM, note)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    start = time.perf_counter()
    try:
        result = watch.splot(data, pdfs, params)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
    return start, watch.returned, result, answers


class Alarm:
    """One alarm: when its handler ran, and whether splot had returned by then."""

    def __init__(self):
        self.handled = None
        self.after_return = False

    def handler(self, signum, frame):
        self.handled = time.perf_counter()
        self.after_return = Watch.after_return(frame)
        raise KeyboardInterrupt


def interrupted_fit(data, pdfs, params, delay):
    alarm, watch = Alarm(), Watch()
    signal.signal(signal.SIGALRM, alarm.handler)
    caught = None
    start = time.perf_counter()
    fire = start + delay
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            watch.splot(data, pdfs, params)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0.0)
    except KeyboardInterrupt:
        caught = time.perf_counter()
    return start, fire, caught, alarm, watch.returned


def run_model(name, n, points, rng):
    title, data, raw_pdfs, params = make_model(name, n, rng)
    calls = PdfCalls()
    pdfs = [calls.wrap(p) for p in raw_pdfs]

    # The first fit at full size also pays one-off costs (fresh pages): the
    # timeline fit goes first, the fit that sets the alarm times second.
    start, end, result, answers = timeline_fit(data, pdfs, params)
    moments = [start] + [t for t in answers if t < end] + [end]
    timeline = end - start
    gap, gap_at = max((b - a, a) for a, b in zip(moments, moments[1:]))
    gap_at = (gap_at - start) / timeline
    last = (moments[-2] - start) / timeline
    calls.intervals.clear()
    start = time.perf_counter()
    tarnwex.splot(data, pdfs, shape_parameters=params)
    duration = time.perf_counter() - start
    print(f"\nmodel {name}: {title}, {n} events, {result.message}")
    print(f"uninterrupted fit {duration:.3f} s, {len(calls.intervals)} PDF calls "
          f"({calls.total():.3f} s)")
    print(f"timeline fit {timeline:.3f} s: answered a signal {len(moments) - 2} times, "
          f"last at fraction {last:.3f}, {(end - moments[-2]) * 1e3:.1f} ms before return; "
          f"longest silence {gap * 1e3:.1f} ms "
          f"from fraction {gap_at:.3f}")

    print(f"{'armed at':>9} {'handled at':>10} {'latency ms':>10} {'outside PDF ms':>14}  note")
    rows = []
    for fraction in np.linspace(0.02, 0.98, points):
        calls.intervals.clear()
        start, fire, caught, alarm, returned = interrupted_fit(data, pdfs, params,
                                                               fraction * duration)
        if alarm.handled is None or (returned is not None and returned < fire):
            print(f"{fraction:9.3f} {'':>10} {'':>10} {'':>14}  fit ended before the alarm")
            continue
        latency = alarm.handled - fire
        outside = latency - calls.overlap(fire, alarm.handled)
        note = "after return" if alarm.after_return else ""
        if calls.inside(alarm.handled):
            note = "in a PDF call"
        rows.append((fraction, latency, outside, alarm.after_return, caught - alarm.handled))
        print(f"{fraction:9.3f} {(alarm.handled - start) / duration:10.3f} "
              f"{latency * 1e3:10.1f} {outside * 1e3:14.1f}  {note}")

    if not rows:
        return
    print(f"max latency {max(r[1] for r in rows) * 1e3:.1f} ms, outside PDF calls "
          f"{max(r[2] for r in rows) * 1e3:.1f} ms; {sum(r[3] for r in rows)} of {len(rows)} "
          f"after return; handler to except clause at most "
          f"{max(r[4] for r in rows) * 1e3:.1f} ms")
    # An alarm that waited for the return came after the fit's last answer too,
    # whatever the fraction says: fit durations vary from run to run.
    tail = [r[0] > last or r[3] for r in rows]
    for label, part in ((f"armed up to the timeline fit's last answer ({last:.3f})",
                         [r for r, t in zip(rows, tail) if not t]),
                        ("armed after it or handled after return",
                         [r for r, t in zip(rows, tail) if t])):
        if part:
            print(f"  {label}: max latency "
                  f"{max(r[1] for r in part) * 1e3:.1f} ms, outside PDF calls "
                  f"{max(r[2] for r in part) * 1e3:.1f} ms, {len(part)} alarms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", choices=["a", "b", "c"], default=["a", "c"],
                        help="a: yields only, 2 components; b: yields only, 6 components; "
                             "c: 2 components, mu and sigma free (default: a c)")
    parser.add_argument("--events", type=int, default=10**7)
    parser.add_argument("--points", type=int, default=25, help="alarm fractions from 0.02 to 0.98")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    # The first fit of a process does one-off setup; keep it out of the timings.
    warm = rng.uniform(LOW, HIGH, (1000, 1))
    tarnwex.splot(warm, [lambda d, p: gauss(d[:, 0], 5.0, 0.7), lambda d, p: flat(d[:, 0])])
    for name in args.models:
        run_model(name, args.events, args.points, rng)


if __name__ == "__main__":
    main()
