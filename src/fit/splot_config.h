// The optional settings of one fit.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace tarnwex {

struct SPlotConfig {
  std::optional<std::size_t> max_steps;             // absent: no step limit
  std::optional<std::vector<double>> initial_yields;  // absent: equal shares of the weight sum
  std::optional<std::vector<double>> event_weights;   // absent: every weight 1
  double tolerance = 1e-8;
};

}  // namespace tarnwex
