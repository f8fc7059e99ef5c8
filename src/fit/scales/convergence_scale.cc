#include "fit/scales/convergence_scale.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "fit/likelihood/event_sum.h"

namespace tarnwex {

std::expected<WeightSums, SPlotError> weight_sums(std::span<const double> weights,
                                                  std::size_t n_events,
                                                  const InterruptCheck& interrupted) {
  WeightSums out;
  out.magnitude = static_cast<double>(n_events);
  double largest = 0.0;
  auto looped = interrupted.for_event_blocks(weights.size(), [&](std::size_t first,
                                                                 std::size_t end) {
    for (std::size_t e = first; e < end; ++e) {
      largest = std::max(largest, std::abs(weights[e]));
    }
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (!(largest > 0.0) || !std::isfinite(largest)) return out;
  EventSum squares;
  EventSum sum;
  EventSum magnitude;
  looped = interrupted.for_event_blocks(weights.size(), [&](std::size_t first, std::size_t end) {
    for (std::size_t e = first; e < end; ++e) {
      const double relative = weights[e] / largest;
      squares.add(e, relative * relative);
      sum.add(e, relative);
      magnitude.add(e, std::abs(relative));
    }
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  const double scale = squares.total() / sum.total() * largest;
  out.event_unit = std::isfinite(scale) && scale > 0.0 ? scale : 1.0;
  out.magnitude = magnitude.total() * largest;
  return out;
}

double objective_change_threshold(double tolerance, double event_unit) {
  return tolerance * event_unit;
}

}  // namespace tarnwex
