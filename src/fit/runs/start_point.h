// Where the minimizer starts, and the box it keeps the parameters in.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "fit/inputs/shape_parameter.h"
#include "minimizer/types.h"

namespace tarnwex {

struct StartPoint {
  Vector x;                                      // yields, then shape parameters
  std::vector<std::pair<double, double>> bounds;  // one (lower, upper) per entry of x
};

// Yields are bounded by (2^-52, inf), shape parameters by their own bounds.
// Without shape parameters the start yields are first scaled by
// 1 - min(0.5, max(1e-6, sqrt(tolerance))), never below 2^-52.
StartPoint make_start_point(std::span<const double> start_yields,
                            std::span<const ShapeParameter> shape_parameters, double tolerance);

}  // namespace tarnwex
