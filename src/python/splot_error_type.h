// The module's exception tarnwex.SPlotError, a RuntimeError.
#pragma once

#include "python/python_api.h"

namespace tarnwex {

// The process-wide exception class, created on first use; borrowed. Null with
// a Python error set when it cannot be created.
PyObject* splot_error_type();

}  // namespace tarnwex
