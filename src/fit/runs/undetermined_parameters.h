// The parameters that the data do not determine, whose errors the fit reports
// as unknown even where the minimizer's covariance gives them a number.
#pragma once

#include <vector>

#include "minimizer/status.h"
#include "minimizer/types.h"

namespace tarnwex {

// For each parameter of the final Hessian and the covariance taken from it,
// whether the data leave it undetermined: its axis has a part above
// sqrt(cbrt(2^-52)) in the directions the pseudo-inverse dropped, or H_ii is
// not positive, or its variance is below half of 1 / H_ii, the variance it
// has with every other parameter held fixed. A NaN in either matrix counts
// as undetermined.
std::vector<bool> undetermined_parameters(const Matrix& hessian, const Matrix& covariance);

// The summary's errors, NaN for every undetermined parameter. A summary
// without a Hessian has NaN errors throughout already.
Vector determined_errors(const MinimizationSummary& summary);

}  // namespace tarnwex
