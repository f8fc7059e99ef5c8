// The checks every output of a PDF callable must pass before its values are
// read, at the start point and during the fit alike.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "python/python_api.h"

namespace tarnwex {

// What is wrong with `output` of the PDF at position `index`, as the error
// text that reports it; nothing when it is a 1-D float64 NumPy array of
// `n_events` values.
std::optional<std::string> pdf_output_problem(PyObject* output, std::size_t index,
                                              std::size_t n_events);

}  // namespace tarnwex
