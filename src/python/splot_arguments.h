// The arguments of splot, converted in parameter order.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "python/py_ref.h"

namespace tarnwex {

struct SPlotArguments {
  PyRef data;              // 2-D float64 array, aligned, in the machine's byte order
  PyRef pdfs;              // tuple of the elements of `pdfs`, unchecked
  PyRef shape_parameters;  // tuple of ShapeParameter instances (possibly empty)
  std::optional<std::vector<double>> initial_yields;
  // Weights are either an array still to be checked for layout, or values
  // already read from a sequence; neither when none were given.
  PyRef weights_array;  // 1-D float64 array
  std::optional<std::vector<double>> weights_values;
  std::optional<std::size_t> max_steps = 1000;
  double tolerance = 1e-8;
};

// Checks the argument list against the signature, then converts each argument
// in parameter order. False with a Python error set (and, for a conversion,
// the note naming the argument) on the first failure.
bool parse_splot_arguments(PyObject* args, PyObject* kwargs, SPlotArguments& out);

}  // namespace tarnwex
