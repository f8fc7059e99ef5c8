// The optional settings of one fit.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

namespace tarnwex {

struct SPlotConfig {
  std::optional<std::size_t> max_steps;             // absent: no step limit
  std::optional<std::vector<double>> initial_yields;  // absent: equal shares of the weight sum
  std::optional<std::vector<double>> event_weights;   // absent: every weight 1
  // No default of its own: a caller who does not choose one is told so by
  // the validation instead of fitting to a tolerance nobody picked.
  double tolerance = std::numeric_limits<double>::quiet_NaN();
};

}  // namespace tarnwex
