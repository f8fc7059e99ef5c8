#include "minimizer/status.h"

#include <cmath>
#include <limits>
#include <utility>

#include "minimizer/equilibrated_svd.h"

namespace tarnwex {

const char* status_type_text(StatusType kind) {
  switch (kind) {
    case StatusType::Uninitialized:
      return "Uninitialized";
    case StatusType::Initialized:
      return "Initialized";
    case StatusType::Step:
      return "Step";
    case StatusType::Success:
      return "Success";
    case StatusType::Failed:
      return "Failed";
    case StatusType::Message:
      return "Message";
  }
  return "Uninitialized";
}

std::string StatusMessage::display() const {
  std::string shown = status_type_text(kind);
  if (text && !text->empty()) {
    shown += ": ";
    shown += *text;
  }
  return shown;
}

namespace {

// Pseudo-inverse of the Hessian, taken on its equilibrated form
// (equilibrated_svd.h): singular values of A at or below the cut contribute
// nothing, and the covariance is D A^+ D.
Matrix pseudo_inverse(const Matrix& hessian) {
  const EquilibratedSvd decomposition = equilibrated_svd(hessian);
  const Eigen::JacobiSVD<Matrix>& svd = decomposition.svd;
  if (svd.info() != Eigen::Success) {
    // A Hessian with non-finite entries has no decomposition; its covariance is not a number.
    return Matrix::Constant(hessian.rows(), hessian.cols(),
                            std::numeric_limits<double>::quiet_NaN());
  }
  const Vector& singular = svd.singularValues();
  Vector inverted = Vector::Zero(singular.size());
  for (Eigen::Index i = 0; i < singular.size(); ++i) {
    if (kept_by_pseudo_inverse(singular[i])) inverted[i] = 1.0 / singular[i];
  }
  const Matrix inverse = svd.matrixV() * inverted.asDiagonal() * svd.matrixU().transpose();
  const Vector& scale = decomposition.scale;
  return scale.asDiagonal() * inverse * scale.asDiagonal();
}

}  // namespace

void GradientStatus::set_hess(Matrix hessian) {
  Matrix inverse = pseudo_inverse(hessian);
  hessian_matrix = std::move(hessian);
  set_cov(std::move(inverse));
}

void GradientStatus::set_cov(Matrix cov) {
  Vector sigma(cov.rows());
  // An error exists only for a finite, positive variance. A negative one (the
  // point is not a minimum along that parameter) or a zero one (the data do
  // not fix it: the pseudo-inverse dropped its direction) gives NaN, never a
  // number that looks like an estimate.
  for (Eigen::Index i = 0; i < cov.rows(); ++i) {
    const double variance = cov(i, i);
    sigma[i] = variance > 0.0 && std::isfinite(variance)
                   ? std::sqrt(variance)
                   : std::numeric_limits<double>::quiet_NaN();
  }
  covariance = std::move(cov);
  errors = std::move(sigma);
}

Vector unknown_uncertainties(Eigen::Index n) {
  return Vector::Constant(n, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace tarnwex
