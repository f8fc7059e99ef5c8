#include "minimizer/limited_memory_model.h"

#include <cstddef>

#include "minimizer/dense_provider.h"

namespace tarnwex {

CompactForm compact_form(const std::deque<Vector>& s_history, const std::deque<Vector>& y_history,
                         double theta, Eigen::Index n) {
  if (s_history.empty()) return {Matrix(n, 0), std::nullopt};
  const Eigen::Index k = static_cast<Eigen::Index>(s_history.size());
  Matrix s(n, k);
  Matrix y(n, k);
  for (Eigen::Index j = 0; j < k; ++j) {
    s.col(j) = s_history[static_cast<std::size_t>(j)];
    y.col(j) = y_history[static_cast<std::size_t>(j)];
  }

  Matrix w(n, 2 * k);
  for (Eigen::Index j = 0; j < k; ++j) {
    w.col(j) = y.col(j);
    w.col(k + j) = theta * s.col(j);
  }

  const Matrix s_transposed = s.transpose();
  const Matrix sy = DenseProvider::mat_mul(s_transposed, y);
  const Matrix ss = DenseProvider::mat_mul(s_transposed, s);
  // The lower-right block is theta * S^T S, scaled exactly once: together with
  // the theta * S half of W this gives the compact form of the limited-memory
  // BFGS matrix; a second factor of theta would describe a different model.
  Matrix middle = Matrix::Zero(2 * k, 2 * k);
  for (Eigen::Index i = 0; i < k; ++i) {
    middle(i, i) = -sy(i, i);
    for (Eigen::Index j = 0; j < i; ++j) {
      middle(k + i, j) = sy(i, j);
      middle(j, k + i) = sy(i, j);
    }
    for (Eigen::Index j = 0; j < k; ++j) middle(k + i, k + j) = theta * ss(i, j);
  }
  return {std::move(w), std::move(middle)};
}

Vector LimitedMemoryModel::solve_middle(const Vector& v) const {
  if (middle) {
    if (auto u = DenseProvider::lu_solve(*middle, v)) return std::move(*u);
  }
  return Vector::Zero(v.size());
}

Matrix LimitedMemoryModel::solve_middle_matrix(const Matrix& b) const {
  if (middle) {
    if (auto u = DenseProvider::lu_solve_matrix(*middle, b)) return std::move(*u);
  }
  return Matrix::Zero(b.rows(), b.cols());
}

}  // namespace tarnwex
