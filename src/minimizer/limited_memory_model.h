// The limited-memory quadratic model of the objective around the current
// point: its compact form built from the stored correction pairs, and the
// model as the direction computation reads it.
#pragma once

#include <deque>
#include <optional>

#include "minimizer/types.h"

namespace tarnwex {

// W = [Y, theta * S] (n by 2k) and the middle matrix
// [[-D, L^T], [L, theta * S^T S]] (2k by 2k, absent while no pair is stored).
struct CompactForm {
  Matrix w;
  std::optional<Matrix> middle;
};

// The compact form of the k pairs (s_j, y_j), oldest first, for n parameters.
CompactForm compact_form(const std::deque<Vector>& s_history, const std::deque<Vector>& y_history,
                         double theta, Eigen::Index n);

// The model around one point: the point and its gradient, the scaling theta
// and the compact form. It owns copies of all of them, so it stays valid
// whatever happens to the state it was taken from.
struct LimitedMemoryModel {
  Vector x;
  Vector g;
  double theta = 1.0;
  Matrix w;
  std::optional<Matrix> middle;

  Eigen::Index memory_columns() const { return w.cols(); }

  // The solution u of middle * u = v. An absent or singular middle matrix
  // contributes nothing to the model, so the product is then the zero vector.
  Vector solve_middle(const Vector& v) const;
  // The same for a matrix right-hand side, with the zero matrix as fallback.
  Matrix solve_middle_matrix(const Matrix& b) const;
};

}  // namespace tarnwex
