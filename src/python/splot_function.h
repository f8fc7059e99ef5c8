// The module function splot: one complete fit from Python arguments.
#pragma once

#include "python/python_api.h"

namespace tarnwex {

// A new function object `splot` whose __module__ is `module_name`.
PyObject* make_splot_function(PyObject* module_name);

}  // namespace tarnwex
