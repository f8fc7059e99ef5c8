// The Python class SPlotResult: the immutable result of one splot call.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "fit/inputs/parameter_map.h"
#include "fit/inputs/shape_parameter.h"
#include "fit/splot.h"
#include "python/py_ref.h"
#include "python/python_api.h"

namespace tarnwex {

// What an SPlotResult holds, in the order of its properties. The arrays are
// counted references like every other Python object the module keeps.
struct SPlotResultFields {
  PyRef yields;
  PyRef yield_errors;
  PyRef covariance;
  PyRef sweights;
  ParameterMap shape_parameters;
  ParameterMap shape_errors;
  PyRef fit_covariance;
  double minimum_nll;
  bool success;
  std::string message;
  std::size_t objective_evaluations;
  std::size_t gradient_evaluations;
  std::size_t hessian_evaluations;
  // The bounds the shape parameters were fitted within, kept for the
  // notebook table, which marks a parameter that ends on one.
  ParameterMap lower_bounds;
  ParameterMap upper_bounds;
};

// The interpreter allocates the record; `fields` is constructed once the
// allocation succeeds and destroyed with the object.
struct PySPlotResult {
  PyObject_HEAD
  SPlotResultFields fields;
};

// The process-wide type object, created on first use; borrowed. Null with a
// Python error set when it cannot be created.
PyTypeObject* splot_result_type();

// A new SPlotResult made from the fit's output, whose vectors and maps it
// takes over, and the shape parameters it was fitted with. Null with a Python
// error set on failure.
PyObject* result_to_python(SPlotOutput&& output, std::span<const ShapeParameter> shape_parameters);

// A new SPlotResult holding `fields`, which the caller has checked to be
// consistent (arrays of float64 with the shapes the properties document, one
// entry per shape parameter in each map). Null with a Python error set on
// failure.
PyObject* make_splot_result(SPlotResultFields&& fields);

}  // namespace tarnwex
