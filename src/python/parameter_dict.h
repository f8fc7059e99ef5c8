// Shape-parameter values as the dict a PDF callable receives.
#pragma once

#include "fit/inputs/parameter_map.h"
#include "python/python_api.h"

namespace tarnwex {

// A new dict with one str key and float value per entry, inserted in the
// map's (byte) order. Null with a Python error set on failure.
PyObject* parameters_to_python(const ParameterMap& parameters);

}  // namespace tarnwex
