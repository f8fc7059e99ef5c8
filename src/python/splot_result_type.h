// The Python class SPlotResult: the immutable result of one splot call.
#pragma once

#include <span>

#include "fit/inputs/shape_parameter.h"
#include "fit/splot.h"
#include "python/python_api.h"
#include "python/splot_result_fields.h"

namespace tarnwex {

// The interpreter allocates the record; `fields` is constructed once the
// allocation succeeds and destroyed with the object. `made` says that it was:
// the allocation is zero-filled, and an interpreter that lets object.__new__
// allocate one (PyPy does) leaves it false.
struct PySPlotResult {
  PyObject_HEAD
  bool made;
  SPlotResultFields fields;
};

// The process-wide type object, created on first use; borrowed. Null with a
// Python error set when it cannot be created.
PyTypeObject* splot_result_type();

// A new SPlotResult made from the fit's output, whose vectors and maps it
// takes over, and the shape parameters it was fitted with. Null with a Python
// error set on failure.
PyObject* result_to_python(SPlotOutput&& output, std::span<const ShapeParameter> shape_parameters);

// The process-wide function `_restore_result`, which the module exposes under
// that name so that pickle finds it there; borrowed, or null with a Python
// error set.
PyObject* restore_function();

}  // namespace tarnwex
