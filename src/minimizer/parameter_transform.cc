#include "minimizer/parameter_transform.h"

namespace tarnwex {

Matrix ParameterTransform::hessian_to_internal(const Matrix& hessian) const {
  return scale.asDiagonal() * hessian * scale.asDiagonal();
}

Matrix ParameterTransform::hessian_to_external(const Matrix& hessian) const {
  const Vector inverse = scale.cwiseInverse();
  return inverse.asDiagonal() * hessian * inverse.asDiagonal();
}

Matrix ParameterTransform::covariance_to_external(const Matrix& covariance) const {
  return scale.asDiagonal() * covariance * scale.asDiagonal();
}

Vector ParameterTransform::to_external(const Vector& z) const {
  Vector x = z.cwiseProduct(scale);
  if (!box) return x;
  for (std::size_t b = 0; b < box->size() && b < static_cast<std::size_t>(x.size()); ++b) {
    const auto i = static_cast<Eigen::Index>(b);
    const ScalarBound& side = (*box)[b];
    if (side.has_lower() && (z[i] <= side.lower / scale[i] || x[i] < side.lower)) {
      x[i] = side.lower;
    }
    if (side.has_upper() && (z[i] >= side.upper / scale[i] || x[i] > side.upper)) {
      x[i] = side.upper;
    }
  }
  return x;
}

BoundList ParameterTransform::internal_bounds() const {
  BoundList scaled = box ? *box : BoundList{};
  for (std::size_t b = 0; b < scaled.size(); ++b) {
    const double s = scale[static_cast<Eigen::Index>(b)];
    scaled[b].lower /= s;
    scaled[b].upper /= s;
  }
  return scaled;
}

}  // namespace tarnwex
