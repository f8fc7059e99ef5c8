// Diagonal scaling between the caller's coordinates x and the coordinates z
// in which the iteration runs: x = s * z, element by element.
#pragma once

#include <optional>

#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

// With every scale a power of two the mappings are exact both ways: a point
// or bound mapped in and back out is the same double it was.
struct ParameterTransform {
  Vector scale;  // s_i > 0, one per parameter

  Vector to_internal(const Vector& x) const { return x.cwiseQuotient(scale); }
  Vector to_external(const Vector& z) const { return z.cwiseProduct(scale); }
  // The gradient with respect to z: s * df/dx.
  Vector gradient_to_internal(const Vector& gradient) const { return gradient.cwiseProduct(scale); }
  // The Hessian with respect to z: S H S.
  Matrix hessian_to_internal(const Matrix& hessian) const;
  // Back to x: H = S^-1 H_z S^-1, covariance S P_z S.
  Matrix hessian_to_external(const Matrix& hessian) const;
  Matrix covariance_to_external(const Matrix& covariance) const;
  // The bounds of z: each side divided by its scale (infinite sides stay infinite).
  BoundList bounds_to_internal(const BoundList& bounds) const;
  BoundList bounds_to_external(const BoundList& bounds) const;
};

// The point in the caller's coordinates; a copy without a transform.
inline Vector external_point(const Vector& z, const std::optional<ParameterTransform>& transform) {
  return transform ? transform->to_external(z) : z;
}

}  // namespace tarnwex
