// One shared shape parameter of the fit, with inclusive bounds.
#pragma once

#include <expected>
#include <limits>
#include <string>

#include "fit/core/splot_error.h"

namespace tarnwex {

struct ShapeParameter {
  std::string name;
  double initial = 0.0;
  double lower = -std::numeric_limits<double>::infinity();
  double upper = std::numeric_limits<double>::infinity();

  // Checks, in order: non-empty name and finite initial value; lower < upper;
  // no NaN bound; lower <= initial <= upper. The first failure is InvalidInput.
  static std::expected<ShapeParameter, SPlotError> create(
      std::string name, double initial,
      double lower = -std::numeric_limits<double>::infinity(),
      double upper = std::numeric_limits<double>::infinity());
};

}  // namespace tarnwex
