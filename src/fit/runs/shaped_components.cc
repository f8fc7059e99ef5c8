#include "fit/runs/shaped_components.h"

#include <algorithm>
#include <utility>

namespace tarnwex {

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

}  // namespace tarnwex
