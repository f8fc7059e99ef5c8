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

// Each side goes the way its points go (divided into z, multiplied out of
// it), so a start lying on its bound still lies on it inside.
template <class Map>
BoundList scaled_bounds(const BoundList& bounds, const Vector& scale, Map map) {
  BoundList scaled = bounds;
  for (std::size_t b = 0; b < scaled.size(); ++b) {
    const double s = scale[static_cast<Eigen::Index>(b)];
    scaled[b].lower = map(scaled[b].lower, s);
    scaled[b].upper = map(scaled[b].upper, s);
  }
  return scaled;
}

}  // namespace

BoundList ParameterTransform::bounds_to_internal(const BoundList& bounds) const {
  return scaled_bounds(bounds, scale, [](double v, double s) { return v / s; });
}

BoundList ParameterTransform::bounds_to_external(const BoundList& bounds) const {
  return scaled_bounds(bounds, scale, [](double v, double s) { return v * s; });
}

}  // namespace tarnwex
