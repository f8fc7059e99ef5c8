// The two operation sets a dense linear-algebra provider offers the minimizer
// and the fit: products and differences, and LU inverses and solves.
#pragma once

#include <concepts>
#include <optional>

#include "minimizer/types.h"

namespace tarnwex {

template <class P>
concept LinearAlgebra = requires(const Vector& v, const Matrix& m) {
  { P::vec_dot(v, v) } -> std::same_as<double>;
  { P::mat_mul(m, m) } -> std::same_as<Matrix>;
  { P::mat_sub(m, m) } -> std::same_as<Matrix>;
  { P::mat_vec(m, v) } -> std::same_as<Vector>;
};

// A singular matrix gives an absent result, never an error.
template <class P>
concept LinearSolve = requires(const Vector& v, const Matrix& m) {
  { P::lu_inverse(m) } -> std::same_as<std::optional<Matrix>>;
  { P::lu_solve_matrix(m, m) } -> std::same_as<std::optional<Matrix>>;
  { P::lu_solve(m, v) } -> std::same_as<std::optional<Vector>>;
};

}  // namespace tarnwex
