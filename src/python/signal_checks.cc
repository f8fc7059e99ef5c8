#include "python/signal_checks.h"

#include <atomic>

#include "python/guarded_entry.h"
#include "python/pending_exception.h"

namespace tarnwex {

namespace {

// The seam's state: process-wide, but only the thread that armed it counts
// and is stopped, so fits in other threads are never disturbed.
std::atomic<unsigned long> seam_thread{0};
std::atomic<long long> seam_countdown{0};
std::atomic<long long> seam_consultations{0};

// Whether the seam stops this consultation.
bool seam_fires() {
  if (seam_thread.load(std::memory_order_relaxed) != PyThread_get_thread_ident()) return false;
  seam_consultations.fetch_add(1, std::memory_order_relaxed);
  return seam_countdown.load(std::memory_order_relaxed) > 0 &&
         seam_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

PyObject* interrupt_after_checks(PyObject*, PyObject* argument) {
  return guarded_entry([&]() -> PyObject* {
    const long long after = PyLong_AsLongLong(argument);
    if (after == -1 && PyErr_Occurred()) return nullptr;
    if (after < 0) {
      PyErr_SetString(PyExc_ValueError, "the count must not be negative");
      return nullptr;
    }
    const long long made = seam_thread.load() == PyThread_get_thread_ident()
                               ? seam_consultations.exchange(0)
                               : 0;
    seam_thread.store(PyThread_get_thread_ident());
    seam_consultations.store(0);
    seam_countdown.store(after);
    return PyLong_FromLongLong(made);
  });
}

PyMethodDef seam_definition = {
    "_interrupt_after_checks",
    interrupt_after_checks,
    METH_O,
    "_interrupt_after_checks(n, /)\n--\n\nTest seam: the n-th interrupt check from now on "
    "raises KeyboardInterrupt (0 disarms); returns the number of checks since the last call.",
};

}  // namespace

int check_signals() {
  if (seam_fires()) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return -1;
  }
  return PyErr_CheckSignals();
}

InterruptCheck signal_check(ExceptionParker parker) {
  return InterruptCheck([parker]() -> std::expected<void, SPlotError> {
    if (check_signals() == 0) return {};
    return std::unexpected(parker.park(PendingException::take()));
  });
}

PyObject* make_interrupt_seam_function(PyObject* module_name) {
  return PyCFunction_NewEx(&seam_definition, nullptr, module_name);
}

}  // namespace tarnwex
