// The model at one shape-parameter point: every PDF's value for every event,
// the event weights and the interrupt check its event loops consult. The
// yield information (model/yield_information.h), the sPlot step
// (fit/sweights) and the weighted fit's covariance (fit/uncertainties) read it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "fit/core/interrupt_check.h"

namespace tarnwex {

class EvaluatedModel {
 public:
  // `columns[k]` holds PDF k's value for every event. The spans may point into
  // `owned` (moving the model keeps them valid, copying would not) or into
  // storage the PDFs keep; `event_weights` (one per event, or none for unit
  // weights) must outlive the model. Its event loops consult `interrupted`
  // between blocks of events.
  EvaluatedModel(std::size_t n_events, std::vector<std::span<const double>> columns,
                 std::vector<std::vector<double>> owned, std::span<const double> event_weights,
                 InterruptCheck interrupted = {});
  EvaluatedModel(EvaluatedModel&&) = default;
  EvaluatedModel& operator=(EvaluatedModel&&) = default;
  EvaluatedModel(const EvaluatedModel&) = delete;
  EvaluatedModel& operator=(const EvaluatedModel&) = delete;

  std::size_t n_events() const { return n_events_; }
  std::size_t n_components() const { return columns_.size(); }
  // PDF k's value for every event.
  std::span<const double> column(std::size_t k) const { return columns_[k]; }
  const std::vector<std::span<const double>>& columns() const { return columns_; }
  std::span<const double> event_weights() const { return event_weights_; }
  const InterruptCheck& interrupt_check() const { return interrupted_; }

 private:
  std::size_t n_events_;
  std::vector<std::span<const double>> columns_;
  std::vector<std::vector<double>> owned_;
  std::span<const double> event_weights_;
  InterruptCheck interrupted_;
};

}  // namespace tarnwex
