// Diagonal scaling between the caller's coordinates x and the coordinates z
// in which the iteration runs: x = s * z, element by element.
#pragma once

#include <optional>

#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

// The scales are the problem's own (a parameter's statistical error, say),
// not necessarily powers of two, so that the same problem written in other
// units runs the same way. A point mapped in and out may then move by a rounding; the caller's
// box is kept as given, and a point mapped out lands inside it: exactly on
// a side where the internal point lies on that side's image.
struct ParameterTransform {
  Vector scale;                   // s_i > 0, one per parameter
  std::optional<BoundList> box;   // the caller's bounds, as given

  Vector to_internal(const Vector& x) const { return x.cwiseQuotient(scale); }
  Vector to_external(const Vector& z) const;
  // The gradient with respect to z: s * df/dx.
  Vector gradient_to_internal(const Vector& gradient) const { return gradient.cwiseProduct(scale); }
  // The Hessian with respect to z: S H S.
  Matrix hessian_to_internal(const Matrix& hessian) const;
  // Back to x: H = S^-1 H_z S^-1, covariance S P_z S.
  Matrix hessian_to_external(const Matrix& hessian) const;
  Matrix covariance_to_external(const Matrix& covariance) const;
  // The bounds of z: each side of the box divided by its scale (infinite
  // sides stay infinite).
  BoundList internal_bounds() const;
};

// The point in the caller's coordinates; a copy without a transform.
inline Vector external_point(const Vector& z, const std::optional<ParameterTransform>& transform) {
  return transform ? transform->to_external(z) : z;
}

}  // namespace tarnwex
