// A Python exception taken out of the interpreter to be raised again later.
//
// The fit core knows nothing of Python: when a PDF is stopped by an exception
// that must reach the caller as it is (KeyboardInterrupt, SystemExit), or a
// signal handler raises while the fit runs, the exception waits here while
// the fit unwinds through its ordinary error path.
#pragma once

#include "python/py_ref.h"

namespace tarnwex {

class PendingException {
 public:
  PendingException() = default;

  // Takes the exception currently raised (normalised, traceback attached);
  // empty when none is.
  static PendingException take();

  explicit operator bool() const { return static_cast<bool>(value_); }
  PyObject* value() const { return value_.get(); }

  // Raises the exception again; the holder is empty afterwards.
  void restore();

 private:
  PyRef value_;
};

}  // namespace tarnwex
