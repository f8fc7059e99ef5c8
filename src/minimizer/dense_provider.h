// Dense linear-algebra operations of the minimizer and the fit, on Eigen.
// Shape mismatches are programming errors and abort with a fixed message;
// singular matrices in the LU operations give an absent result.
#pragma once

#include <optional>

#include "minimizer/types.h"

namespace tarnwex {

struct DenseProvider {
  // --- LinearAlgebra ---
  static double vec_dot(const Vector& a, const Vector& b);
  static Matrix mat_mul(const Matrix& a, const Matrix& b);
  static Matrix mat_sub(const Matrix& a, const Matrix& b);
  static Vector mat_vec(const Matrix& a, const Vector& v);

  // --- LinearSolve --- Each call factorises a fresh copy of `a` with partial
  // pivoting; the matrix is singular exactly when a pivot of U is zero.
  static std::optional<Matrix> lu_inverse(const Matrix& a);
  static std::optional<Matrix> lu_solve_matrix(const Matrix& a, const Matrix& b);
  static std::optional<Vector> lu_solve(const Matrix& a, const Vector& b);
};

}  // namespace tarnwex
