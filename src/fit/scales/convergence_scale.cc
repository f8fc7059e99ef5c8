#include "fit/scales/convergence_scale.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "fit/likelihood/event_sum.h"

namespace tarnwex {

std::expected<double, SPlotError> event_unit(std::span<const double> weights,
                                               const InterruptCheck& interrupted) {
  double largest = 0.0;
  auto looped = interrupted.for_event_blocks(weights.size(), [&](std::size_t first,
                                                                 std::size_t end) {
    for (std::size_t e = first; e < end; ++e) largest = std::max(largest, std::abs(weights[e]));
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (!(largest > 0.0) || !std::isfinite(largest)) return 1.0;
  EventSum squares;
  EventSum sum;
  looped = interrupted.for_event_blocks(weights.size(), [&](std::size_t first, std::size_t end) {
    for (std::size_t e = first; e < end; ++e) {
      const double relative = weights[e] / largest;
      squares.add(e, relative * relative);
      sum.add(e, relative);
    }
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  const double scale = squares.total() / sum.total() * largest;
  return std::isfinite(scale) && scale > 0.0 ? scale : 1.0;
}

double objective_change_threshold(double tolerance, double event_unit) {
  return tolerance * event_unit;
}

}  // namespace tarnwex
