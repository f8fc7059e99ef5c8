// The sWeights: one per event and component, from the sPlot covariance.
#pragma once

#include <expected>
#include <span>

#include "fit/core/row_matrix.h"
#include "fit/core/splot_error.h"
#include "fit/model/evaluated_model.h"
#include "minimizer/types.h"

namespace tarnwex {

// Row e, column j: w_e * (sum over k of V(j, k) f_k(e)) / d_e. Fails when a
// mixture density d_e is not positive and finite, and then when an sWeight
// is not finite (checked in the same pass).
std::expected<RowMatrix, SPlotError> calculate_sweights(const EvaluatedModel& model,
                                                        std::span<const double> yields,
                                                        const Matrix& covariance);

}  // namespace tarnwex
