// The limited-memory quadratic model of the objective around the current
// point, as the direction computation reads it, and products with the inverse
// of its middle matrix.
#pragma once

#include <optional>

#include "minimizer/types.h"

namespace tarnwex {

// A read-only view of the model held by the running minimizer: the current
// point and gradient, the scaling theta, W = [Y, theta * S] (n by 2k) and the
// un-inverted middle matrix (2k by 2k, absent while no pair is stored).
struct LimitedMemoryModel {
  const Vector& x;
  const Vector& g;
  double theta;
  const Matrix& w;
  const std::optional<Matrix>& middle;

  Eigen::Index memory_columns() const { return w.cols(); }

  // The solution u of middle * u = v. An absent or singular middle matrix
  // contributes nothing to the model, so the product is then the zero vector.
  Vector solve_middle(const Vector& v) const;
  // The same for a matrix right-hand side, with the zero matrix as fallback.
  Matrix solve_middle_matrix(const Matrix& b) const;
};

}  // namespace tarnwex
