#include "minimizer/lbfgsb_config.h"

namespace tarnwex {

std::expected<LBFGSBConfig, MinimizerError> with_bounds(
    LBFGSBConfig config, std::span<const std::pair<double, double>> pairs) {
  auto bounds = bounds_from_pairs(pairs);
  if (!bounds) return std::unexpected(std::move(bounds.error()));
  config.bounds = std::move(*bounds);
  return config;
}

}  // namespace tarnwex
