// The fit's covariance when the events carry weights.
//
// The inverse Hessian of a weighted NLL is the covariance of the fit only
// when every weight is 1: with weights it is too small by about
// sqrt(E[w^2] / E[w]^2) when the weights do not depend on the fitted
// variable, and can be wrong either way when they do (the negative weights
// of a background subtraction). The asymptotically correct covariance of a
// weighted maximum-likelihood fit is the sandwich V = H^-1 C H^-1, with H
// the Hessian of the weighted NLL and C = sum_e w_e^2 s_e s_e^T, s_e the
// gradient of event e's log-density ln d_e: f_a(e) / d_e along yield a, and
// the derivative the final Hessian's points give along a shape parameter.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/model/evaluated_model.h"
#include "minimizer/status.h"

namespace tarnwex {

// Replaces the summary's covariance P (the inverse, or pseudo-inverse, of
// its Hessian) by P C P, at the fitted yields with the model evaluated at
// the fitted shapes and `shape_scores` (one vector per shape parameter, one
// value per event) from the final Hessian. An error stays NaN where it was:
// an undetermined parameter keeps its NaN, and one held at a bound, whose
// row and column of P are 0, takes no part in the product. A summary
// without a Hessian is left as it is. Fails when a mixture density is not
// finite.
std::expected<void, SPlotError> apply_weighted_covariance(
    MinimizationSummary& summary, const EvaluatedModel& model, std::span<const double> yields,
    std::span<const std::vector<double>> shape_scores);

}  // namespace tarnwex
