#include "fit/vanished_components.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tarnwex {

namespace {

constexpr double kVanishedFractionOfOneEvent = 1e-6;
constexpr int kHeldWidthExponent = -20;

}  // namespace

std::vector<std::size_t> vanished_components(std::span<const double> fitted_yields,
                                             std::span<const double> start_yields, double unit) {
  std::vector<std::size_t> vanished;
  for (std::size_t k = 0; k < fitted_yields.size(); ++k) {
    if (fitted_yields[k] < kVanishedFractionOfOneEvent * unit && start_yields[k] > unit) {
      vanished.push_back(k);
    }
  }
  return vanished;
}

std::expected<std::vector<std::size_t>, SPlotError> shaped_by_parameters(
    JointLikelihood& likelihood, std::span<const double> start_shapes,
    std::span<const double> fitted_shapes, std::vector<std::size_t> candidates) {
  // The PDFs may reuse their output for the next call, so the start's
  // columns are copied before the second evaluation.
  std::vector<std::vector<double>> at_start;
  {
    auto model = likelihood.evaluate_model(start_shapes);
    if (!model) return std::unexpected(std::move(model.error()));
    for (const std::size_t k : candidates) {
      const auto column = model->column(k);
      at_start.emplace_back(column.begin(), column.end());
    }
  }
  auto model = likelihood.evaluate_model(fitted_shapes);
  if (!model) return std::unexpected(std::move(model.error()));
  std::vector<std::size_t> shaped;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!std::ranges::equal(at_start[i], model->column(candidates[i]))) {
      shaped.push_back(candidates[i]);
    }
  }
  return shaped;
}

std::vector<std::pair<double, double>> hold_yields(std::vector<std::pair<double, double>> bounds,
                                                   std::span<const double> start_yields,
                                                   std::span<const std::size_t> held) {
  for (const std::size_t k : held) {
    const double y = start_yields[k];
    bounds[k] = {y - std::ldexp(y, kHeldWidthExponent), y};
  }
  return bounds;
}

}  // namespace tarnwex
