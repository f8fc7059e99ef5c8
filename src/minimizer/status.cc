#include "minimizer/status.h"

#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/SVD>

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

// Pseudo-inverse V * S^+ * U^T; singular values at or below the absolute
// threshold are treated as exact zeros, whatever the scale of the matrix.
Matrix pseudo_inverse(const Matrix& hessian) {
  const Eigen::Index n = hessian.rows();
  Eigen::JacobiSVD<Matrix> svd(hessian, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) {
    // A Hessian with non-finite entries has no decomposition; its covariance is not a number.
    return Matrix::Constant(n, hessian.cols(), std::numeric_limits<double>::quiet_NaN());
  }
  const Vector& singular = svd.singularValues();
  Vector inverted = Vector::Zero(singular.size());
  for (Eigen::Index i = 0; i < singular.size(); ++i) {
    if (singular[i] > kCbrtMachineEpsilon) inverted[i] = 1.0 / singular[i];
  }
  return svd.matrixV() * inverted.asDiagonal() * svd.matrixU().transpose();
}

}  // namespace

void GradientStatus::set_hess(Matrix hessian) {
  Matrix inverse = pseudo_inverse(hessian);
  hessian_matrix = std::move(hessian);
  set_cov(std::move(inverse));
}

void GradientStatus::set_cov(Matrix cov) {
  Vector sigma(cov.rows());
  // A negative variance gives NaN on purpose: it marks an estimate that is not one.
  for (Eigen::Index i = 0; i < cov.rows(); ++i) sigma[i] = std::sqrt(cov(i, i));
  covariance = std::move(cov);
  errors = std::move(sigma);
}

Vector unknown_uncertainties(Eigen::Index n) {
  return Vector::Constant(n, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace tarnwex
