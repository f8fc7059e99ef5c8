#include "python/pdf_output_check.h"

#include "fit/core/value_errors.h"
#include "python/numpy_convert.h"

namespace tarnwex {

std::optional<std::string> pdf_output_problem(PyObject* output, std::size_t index,
                                              std::size_t n_events) {
  const std::string pdf = "PDF " + std::to_string(index);
  if (!is_float64_array(output, 1)) {
    return pdf + " must return a one-dimensional float64 NumPy array";
  }
  auto* array = reinterpret_cast<PyArrayObject*>(output);
  const auto length = static_cast<std::size_t>(PyArray_DIM(array, 0));
  if (length != n_events) {
    return wrong_length_text(index, length, n_events);
  }
  return std::nullopt;
}

}  // namespace tarnwex
