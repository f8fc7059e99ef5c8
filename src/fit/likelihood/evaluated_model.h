// The model at one shape-parameter point, and what the sPlot step makes of
// it: the yield information matrix, its checked inverse and the sWeights.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "fit/interrupt_check.h"
#include "fit/row_matrix.h"
#include "fit/splot_error.h"
#include "minimizer/types.h"

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

  // I(a, b) = sum over events of w_e f_a(e) f_b(e) / d_e^2, both triangles
  // accumulated. Fails when a mixture density d_e is not positive and finite.
  std::expected<Matrix, SPlotError> yield_information(std::span<const double> yields) const;

  // The same, with a density that is not positive and finite answered by
  // no matrix and that event, rather than by an error: the only errors are
  // those of the interrupt check.
  struct Information {
    std::optional<Matrix> matrix;
    std::size_t first_not_positive;  // n_events when the matrix is there
  };
  std::expected<Information, SPlotError> information_where_positive(
      std::span<const double> yields) const;

  // Row e, column j: w_e * (sum over k of V(j, k) f_k(e)) / d_e.
  std::expected<RowMatrix, SPlotError> calculate_sweights(std::span<const double> yields,
                                                         const Matrix& covariance) const;

 private:
  std::size_t n_events_;
  std::vector<std::span<const double>> columns_;
  std::vector<std::vector<double>> owned_;
  std::span<const double> event_weights_;
  InterruptCheck interrupted_;
};

// True when information * covariance reproduces the identity within
// max(10 * tolerance, 1e-8) in every entry (and no product is non-finite).
bool covariance_is_valid(const Matrix& information, const Matrix& covariance, double tolerance);

// The sPlot covariance: the LU inverse of the information matrix, rejected
// when it does not exist or does not reproduce the identity.
std::expected<Matrix, SPlotError> splot_covariance(const Matrix& information, double tolerance);

}  // namespace tarnwex
