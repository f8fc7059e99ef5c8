#include "fit/scales/hessian_resolution.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/inputs/fit_policy.h"

namespace tarnwex {

std::expected<double, SPlotError> hessian_resolution(std::span<const double> weights,
                                                     std::size_t n_events, std::size_t n_shape,
                                                     const InterruptCheck& interrupted) {
  if (n_shape == 0) return policy::kYieldHessianResolution;
  double total = static_cast<double>(n_events);
  if (!weights.empty()) {
    // A bound, not a sum to be exact: plain addition serves.
    total = 0.0;
    auto looped = interrupted.for_event_blocks(weights.size(), [&](std::size_t first,
                                                                   std::size_t end) {
      for (std::size_t e = first; e < end; ++e) total += std::abs(weights[e]);
      return true;
    });
    if (!looped) return std::unexpected(std::move(looped.error()));
  }
  const double step = policy::kShapeStepPerError;
  const double noise = policy::kSharedPdfRoundingUlps * std::numeric_limits<double>::epsilon() *
                       total / (step * step);
  return std::max(policy::kYieldHessianResolution, policy::kCurvatureOverNoise * noise);
}

}  // namespace tarnwex
