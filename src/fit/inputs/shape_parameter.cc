#include "fit/inputs/shape_parameter.h"

#include <cmath>

#include "fit/core/text/format.h"

namespace tarnwex {

std::expected<ShapeParameter, SPlotError> ShapeParameter::create(std::string name, double initial,
                                                                  double lower, double upper) {
  if (name.empty() || !std::isfinite(initial)) {
    return std::unexpected(
        SPlotError::invalid_input("shape parameter has an invalid name or initial value"));
  }
  // A NaN bound makes this comparison false and is caught by the next check.
  if (lower >= upper) {
    return std::unexpected(SPlotError::invalid_input(
        "lower bound must be strictly less than upper bound: lower=" + format_double(lower) +
        ", upper=" + format_double(upper)));
  }
  if (std::isnan(lower) || std::isnan(upper)) {
    return std::unexpected(SPlotError::invalid_input("lower or upper bound is NaN: lower=" +
                                                     format_double(lower) +
                                                     ", upper=" + format_double(upper)));
  }
  if (initial < lower || initial > upper) {
    return std::unexpected(SPlotError::invalid_input(
        "bounds must contain initial value: initial=" + format_double(initial) + ", bounds=(" +
        format_double(lower) + ", " + format_double(upper) + ")"));
  }
  return ShapeParameter{std::move(name), initial, lower, upper};
}

}  // namespace tarnwex
