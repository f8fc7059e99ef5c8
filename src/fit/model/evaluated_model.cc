#include "fit/model/evaluated_model.h"

#include "minimizer/internal_error.h"

namespace tarnwex {

EvaluatedModel::EvaluatedModel(std::size_t n_events, std::vector<std::span<const double>> columns,
                               std::vector<std::vector<double>> owned,
                               std::span<const double> event_weights,
                               InterruptCheck interrupted)
    : n_events_(n_events),
      columns_(std::move(columns)),
      owned_(std::move(owned)),
      event_weights_(event_weights),
      interrupted_(std::move(interrupted)) {
  if (columns_.empty()) internal_error("a model needs at least one component");
  if (!event_weights_.empty() && event_weights_.size() != n_events_) {
    internal_error("event weights do not match the events");
  }
  for (const auto& column : columns_) {
    if (column.size() != n_events_) internal_error("PDF values do not match the events");
  }
}

}  // namespace tarnwex
