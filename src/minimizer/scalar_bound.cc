#include "minimizer/scalar_bound.h"

#include <cmath>

namespace tarnwex {

std::expected<BoundList, MinimizerError> bounds_from_pairs(
    std::span<const std::pair<double, double>> pairs) {
  BoundList bounds;
  bounds.reserve(pairs.size());
  for (const auto& [lower, upper] : pairs) {
    // Written as a negated strict comparison so that a NaN on either side fails too.
    if (!(lower < upper)) {
      return std::unexpected(
          MinimizerError::configuration("bounds must be ordered and must not contain NaN"));
    }
    const bool lower_finite = std::isfinite(lower);
    const bool upper_finite = std::isfinite(upper);
    if (lower_finite && upper_finite) {
      bounds.push_back(ScalarBound::lower_and_upper(lower, upper));
    } else if (lower_finite) {
      bounds.push_back(ScalarBound::lower_only(lower));
    } else if (upper_finite) {
      bounds.push_back(ScalarBound::upper_only(upper));
    } else {
      bounds.push_back(ScalarBound::unbounded());
    }
  }
  return bounds;
}

}  // namespace tarnwex
