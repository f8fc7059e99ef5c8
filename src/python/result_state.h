// A result across process boundaries: the state an SPlotResult pickles to,
// and the module's private function that restores one from it.
#pragma once

#include "python/python_api.h"

namespace tarnwex {

struct SPlotResultFields;

// The pair (restore function, state tuple) that pickle and copy store for a
// result. A new reference, or null with a Python error set.
PyObject* result_state(const SPlotResultFields& fields);

// The process-wide function `_restore_result`, which the module exposes under
// that name so that pickle finds it there; borrowed, or null with a Python
// error set. It checks every part of the state it is given, so that a state
// from anywhere else gives an error and never an inconsistent result.
PyObject* restore_function();

}  // namespace tarnwex
