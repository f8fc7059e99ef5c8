// The Python class ShapeParameter: an immutable description of one shared
// shape parameter, checked only when splot uses it.
#pragma once

#include <string>

#include "python/python_api.h"

namespace tarnwex {

struct PyShapeParameter {
  PyObject_HEAD
  std::string name;  // UTF-8
  double initial;
  double lower;
  double upper;
};

// The process-wide type object, created on first use; borrowed. Null with a
// Python error set when it cannot be created.
PyTypeObject* shape_parameter_type();

}  // namespace tarnwex
