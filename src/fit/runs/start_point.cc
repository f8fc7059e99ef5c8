#include "fit/runs/start_point.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/core/yield_bound.h"

namespace tarnwex {

StartPoint make_start_point(std::span<const double> start_yields,
                            std::span<const ShapeParameter> shape_parameters, double tolerance) {
  const std::size_t n_components = start_yields.size();
  const std::size_t n_shape = shape_parameters.size();
  // Without shape parameters the default yields already sit at the
  // likelihood's minimum, where the first step would have nothing to do;
  // moving them slightly off it gives the minimizer a real first step.
  double scale = 1.0;
  if (n_shape == 0) scale = 1.0 - std::min(0.5, std::max(1e-6, std::sqrt(tolerance)));

  StartPoint start;
  start.x.resize(static_cast<Eigen::Index>(n_components + n_shape));
  start.bounds.reserve(n_components + n_shape);
  for (std::size_t k = 0; k < n_components; ++k) {
    const double y = n_shape == 0 ? std::max(start_yields[k] * scale, kMachineEpsilon)
                                  : start_yields[k];
    start.x[static_cast<Eigen::Index>(k)] = y;
    start.bounds.emplace_back(kYieldLowerBound, std::numeric_limits<double>::infinity());
  }
  for (std::size_t i = 0; i < n_shape; ++i) {
    start.x[static_cast<Eigen::Index>(n_components + i)] = shape_parameters[i].initial;
    start.bounds.emplace_back(shape_parameters[i].lower, shape_parameters[i].upper);
  }
  return start;
}

}  // namespace tarnwex
