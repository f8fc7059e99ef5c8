#include "minimizer/limited_memory_model.h"

#include "minimizer/dense_provider.h"

namespace tarnwex {

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
