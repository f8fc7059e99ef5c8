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

namespace {

BoundList scaled_bounds(const BoundList& bounds, const Vector& factor) {
  BoundList scaled = bounds;
  for (std::size_t b = 0; b < scaled.size(); ++b) {
    const double f = factor[static_cast<Eigen::Index>(b)];
    scaled[b].lower *= f;
    scaled[b].upper *= f;
  }
  return scaled;
}

}  // namespace

BoundList ParameterTransform::bounds_to_internal(const BoundList& bounds) const {
  return scaled_bounds(bounds, scale.cwiseInverse());
}

BoundList ParameterTransform::bounds_to_external(const BoundList& bounds) const {
  return scaled_bounds(bounds, scale);
}

}  // namespace tarnwex
