// A Python exception taken out of the interpreter to be raised again later,
// so that other Python code can run in between (see parked_exception.h).
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
