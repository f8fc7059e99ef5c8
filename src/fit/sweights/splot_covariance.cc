#include "fit/sweights/splot_covariance.h"

#include <algorithm>
#include <cmath>

#include "minimizer/dense_provider.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

bool covariance_is_valid(const Matrix& information, const Matrix& covariance, double tolerance) {
  const Eigen::Index n = information.rows();
  if (n == 0) return true;
  if (information.cols() != n || covariance.rows() != n || covariance.cols() != n) {
    internal_error("information and covariance must be square matrices of one order");
  }
  const double threshold = std::max(10.0 * tolerance, 1e-8);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) {
      double p = information(i, 0) * covariance(0, j);
      for (Eigen::Index k = 1; k < n; ++k) p += information(i, k) * covariance(k, j);
      if (!std::isfinite(p)) return false;
      const double deviation = i == j ? std::abs(p - 1.0) : std::abs(p);
      if (deviation > threshold) return false;
    }
  }
  return true;
}

std::expected<Matrix, SPlotError> splot_covariance(const Matrix& information, double tolerance) {
  auto covariance = DenseProvider::lu_inverse(information);
  if (!covariance) {
    return std::unexpected(SPlotError::singular_covariance(
        "the event-summed yield information matrix is not invertible"));
  }
  if (!covariance_is_valid(information, *covariance, tolerance)) {
    return std::unexpected(
        SPlotError::singular_covariance("the component PDFs are not independently identifiable"));
  }
  return std::move(*covariance);
}

}  // namespace tarnwex
