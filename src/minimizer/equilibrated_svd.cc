#include "minimizer/equilibrated_svd.h"

#include <cmath>
#include <utility>

namespace tarnwex {

EquilibratedSvd equilibrated_svd(const Matrix& hessian) {
  const Eigen::Index n = hessian.rows();
  Vector scale = Vector::Ones(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double curvature = std::abs(hessian(i, i));
    if (curvature > 0.0 && std::isfinite(curvature)) scale[i] = 1.0 / std::sqrt(curvature);
  }
  const Matrix equilibrated = scale.asDiagonal() * hessian * scale.asDiagonal();
  Eigen::JacobiSVD<Matrix> svd(equilibrated, Eigen::ComputeFullU | Eigen::ComputeFullV);
  return {std::move(scale), std::move(svd)};
}

}  // namespace tarnwex
