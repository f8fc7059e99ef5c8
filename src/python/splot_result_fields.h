// What an SPlotResult holds: the record behind the class, which its
// properties read, its pickled state carries and its notebook table shows.
#pragma once

#include <cstddef>
#include <string>

#include "fit/inputs/parameter_map.h"
#include "python/py_ref.h"

namespace tarnwex {

// What an SPlotResult holds, in the order of its properties. The arrays are
// counted references like every other Python object the module keeps; the
// four maps name the same shape parameters.
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

}  // namespace tarnwex
