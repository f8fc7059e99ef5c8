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

// Pseudo-inverse of the Hessian, taken on its equilibrated form.
//
// The parameters of one fit live on very different scales: a yield of 10^6
// events has a curvature near 10^-6, a peak position one of 10^6 or more. An
// absolute cut on the raw singular values would then discard a yield's whole
// direction and report its error as exactly 0, a plainly wrong answer. So the
// matrix is first brought to unit diagonal, A = D H D with D_ii = 1/sqrt|H_ii|
// (1 where H_ii is 0), and the cut at cbrt(2^-52) is applied to the singular
// values of A, where it means what it should: directions that the data do not
// tell apart (near-degenerate parameter combinations) contribute nothing. The
// covariance is then D A^+ D.
Matrix pseudo_inverse(const Matrix& hessian) {
  const Eigen::Index n = hessian.rows();
  Vector scale = Vector::Ones(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double curvature = std::abs(hessian(i, i));
    if (curvature > 0.0 && std::isfinite(curvature)) scale[i] = 1.0 / std::sqrt(curvature);
  }
  const Matrix equilibrated = scale.asDiagonal() * hessian * scale.asDiagonal();
  Eigen::JacobiSVD<Matrix> svd(equilibrated, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) {
    // A Hessian with non-finite entries has no decomposition; its covariance is not a number.
    return Matrix::Constant(n, hessian.cols(), std::numeric_limits<double>::quiet_NaN());
  }
  const Vector& singular = svd.singularValues();
  Vector inverted = Vector::Zero(singular.size());
  for (Eigen::Index i = 0; i < singular.size(); ++i) {
    if (singular[i] > kCbrtMachineEpsilon) inverted[i] = 1.0 / singular[i];
  }
  const Matrix inverse = svd.matrixV() * inverted.asDiagonal() * svd.matrixU().transpose();
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
