// The sPlot covariance: the inverse of the yield information matrix, and
// the check that it is one.
#pragma once

#include <expected>

#include "fit/core/splot_error.h"
#include "minimizer/types.h"

namespace tarnwex {

// True when information * covariance reproduces the identity within
// max(10 * tolerance, 1e-8) in every entry (and no product is non-finite).
bool covariance_is_valid(const Matrix& information, const Matrix& covariance, double tolerance);

// The LU inverse of the information matrix, rejected when it does not exist
// or does not reproduce the identity.
std::expected<Matrix, SPlotError> splot_covariance(const Matrix& information, double tolerance);

}  // namespace tarnwex
