#include "fit/far_start_yields.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tarnwex {

namespace {

bool fell_far(double fitted, double start) { return kFarYieldRatio * fitted < start; }

}  // namespace

std::vector<std::size_t> far_start_yields(std::span<const double> fitted_yields,
                                          std::span<const double> start_yields, double unit) {
  std::vector<std::size_t> far;
  for (std::size_t k = 0; k < fitted_yields.size(); ++k) {
    const double fitted = fitted_yields[k];
    const double start = start_yields[k];
    if (fitted >= unit && (fitted > kFarYieldRatio * start || fell_far(fitted, start))) {
      far.push_back(k);
    }
  }
  return far;
}

bool shapes_travelled(std::span<const double> fitted_shapes, std::span<const double> start_shapes,
                      std::span<const double> errors,
                      std::span<const std::pair<double, double>> bounds) {
  for (std::size_t i = 0; i < fitted_shapes.size(); ++i) {
    const double reach = kTravelledErrors * errors[i];
    const double half_box = 0.5 * (bounds[i].second - bounds[i].first);
    // Negated, so that a NaN error counts as travelled.
    if (!(std::abs(fitted_shapes[i] - start_shapes[i]) <= reach && reach <= half_box)) return true;
  }
  return false;
}

std::vector<double> refit_start_yields(std::span<const double> fitted_yields,
                                       std::span<const double> start_yields, double lower) {
  std::vector<double> yields(fitted_yields.begin(), fitted_yields.end());
  for (std::size_t k = 0; k < yields.size(); ++k) {
    if (fell_far(yields[k], start_yields[k])) yields[k] /= kFarYieldRatio;
    yields[k] = std::max(yields[k], lower);
  }
  return yields;
}

}  // namespace tarnwex
