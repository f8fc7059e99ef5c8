// Where the Python layer asks whether a signal handler wants to raise, so
// that Ctrl-C stops a fit in every phase, whether or not Python code runs.
#pragma once

#include <cstddef>

#include "fit/core/interrupt_check.h"
#include "python/parked_exception.h"
#include "python/python_api.h"

namespace tarnwex {

// Runs the pending signal handlers; -1 with their exception set when one
// raised (PyErr_CheckSignals, plus the test seam below). Holds the
// interpreter lock.
int check_signals();

// The fit's interrupt check: a handler's exception is parked and the fit
// unwinds with the parker's stand-in error.
InterruptCheck signal_check(ExceptionParker parker);

// The Python layer's own loops over the events, checked like the fit's:
// step(first, end) over blocks of [0, n_events), the signals checked
// between two blocks. False with the handler's exception set when one
// raised.
template <class Step>
bool for_signal_blocks(std::size_t n_events, Step&& step) {
  const InterruptCheck check([]() -> std::expected<void, SPlotError> {
    if (check_signals() == 0) return {};
    return std::unexpected(SPlotError::pdf_evaluation("Python exception pending"));
  });
  return check
      .for_event_blocks(n_events,
                        [&](std::size_t first, std::size_t end) {
                          step(first, end);
                          return true;
                        })
      .has_value();
}

// tarnwex._interrupt_after_checks(n): a seam for the tests. From the next
// consultation on, in the thread that called it, the n-th one raises
// KeyboardInterrupt as a Ctrl-C handler would (n = 0 disarms). Returns how
// many consultations that thread made since the previous call, so that a
// test can find how many a fit makes and stop it at each of them.
PyObject* make_interrupt_seam_function(PyObject* module_name);

}  // namespace tarnwex
