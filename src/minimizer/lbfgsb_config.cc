#include "minimizer/lbfgsb_config.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnwex {

double objective_resolution(double f, const LBFGSBConfig& config) {
  const double magnitude = std::abs(f);
  const double ulp = std::nextafter(magnitude, std::numeric_limits<double>::infinity()) - magnitude;
  return std::max(config.objective_resolution, config.objective_resolution_ulps * ulp);
}

std::expected<LBFGSBConfig, MinimizerError> with_bounds(
    LBFGSBConfig config, std::span<const std::pair<double, double>> pairs) {
  auto bounds = bounds_from_pairs(pairs);
  if (!bounds) return std::unexpected(std::move(bounds.error()));
  config.bounds = std::move(*bounds);
  return config;
}

}  // namespace tarnwex
