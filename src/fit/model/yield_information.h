// The yield information matrix: I(a, b) = sum over events of
// w_e f_a(e) f_b(e) / d_e^2, whose inverse is the sPlot covariance.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>

#include "fit/core/splot_error.h"
#include "fit/model/evaluated_model.h"
#include "minimizer/types.h"

namespace tarnwex {

// Both triangles accumulated. Fails when a mixture density d_e is not
// positive and finite.
std::expected<Matrix, SPlotError> yield_information(const EvaluatedModel& model,
                                                    std::span<const double> yields);

// The same, with a density that is not positive and finite answered by no
// matrix and that event, rather than by an error: the only errors are those
// of the interrupt check.
struct Information {
  std::optional<Matrix> matrix;
  std::size_t first_not_positive;  // n_events when the matrix is there
};
std::expected<Information, SPlotError> information_where_positive(const EvaluatedModel& model,
                                                                  std::span<const double> yields);

}  // namespace tarnwex
