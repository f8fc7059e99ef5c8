#include "fit/runs/shaped_components.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace tarnwex {

std::expected<std::vector<std::size_t>, SPlotError> shaped_by_parameters(
    JointLikelihood& likelihood, std::span<const double> start_shapes,
    std::span<const double> fitted_shapes, std::vector<std::size_t> candidates) {
  // The PDFs may reuse their output for the next call, so the start's
  // columns are copied before the second evaluation.
  const InterruptCheck& interrupted = likelihood.interrupt_check();
  std::vector<std::vector<double>> at_start(candidates.size());
  {
    auto model = likelihood.evaluate_model(start_shapes);
    if (!model) return std::unexpected(std::move(model.error()));
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      const auto column = model->column(candidates[i]);
      at_start[i].reserve(column.size());
      auto copied = interrupted.for_event_blocks(column.size(), [&](std::size_t first,
                                                                    std::size_t end) {
        at_start[i].insert(at_start[i].end(), column.begin() + static_cast<std::ptrdiff_t>(first),
                           column.begin() + static_cast<std::ptrdiff_t>(end));
        return true;
      });
      if (!copied) return std::unexpected(std::move(copied.error()));
    }
  }
  auto model = likelihood.evaluate_model(fitted_shapes);
  if (!model) return std::unexpected(std::move(model.error()));
  std::vector<std::size_t> shaped;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const auto column = model->column(candidates[i]);
    bool equal = true;
    auto compared = interrupted.for_event_blocks(column.size(), [&](std::size_t first,
                                                                    std::size_t end) {
      equal = std::equal(column.begin() + static_cast<std::ptrdiff_t>(first),
                         column.begin() + static_cast<std::ptrdiff_t>(end),
                         at_start[i].begin() + static_cast<std::ptrdiff_t>(first));
      return equal;
    });
    if (!compared) return std::unexpected(std::move(compared.error()));
    if (!equal) shaped.push_back(candidates[i]);
  }
  return shaped;
}

}  // namespace tarnwex
