#include "minimizer/dense_provider.h"

#include <string>

#include "minimizer/internal_error.h"
#include "minimizer/linear_algebra.h"

namespace tarnwex {

static_assert(LinearAlgebra<DenseProvider>);
static_assert(LinearSolve<DenseProvider>);

namespace {

std::string column_shape(const Vector& v) { return "(" + std::to_string(v.size()) + ", 1)"; }

// Factorises a copy of `a`; absent when a pivot of U is exactly zero. No
// near-singularity test: a nearly singular matrix solves to large values.
std::optional<Eigen::PartialPivLU<Matrix>> factorise(const Matrix& a) {
  Eigen::PartialPivLU<Matrix> lu(a);
  const auto diagonal = lu.matrixLU().diagonal();
  for (Eigen::Index i = 0; i < diagonal.size(); ++i) {
    if (diagonal[i] == 0.0) return std::nullopt;
  }
  return lu;
}

void require_square_system(const Matrix& a, Eigen::Index rhs_rows) {
  if (a.rows() != a.cols()) internal_error("LU solve: unable to solve a non-square system.");
  if (rhs_rows != a.rows()) internal_error("LU solve matrix dimension mismatch.");
}

}  // namespace

double DenseProvider::vec_dot(const Vector& a, const Vector& b) {
  if (a.size() != b.size()) {
    internal_error("Dot product dimensions mismatch for shapes " + column_shape(a) + " and " +
                   column_shape(b) + ": left rows != right rows.");
  }
  return a.dot(b);
}

Matrix DenseProvider::mat_mul(const Matrix& a, const Matrix& b) {
  if (a.cols() != b.rows()) internal_error("gemm: dimensions mismatch for multiplication.");
  return a * b;
}

Matrix DenseProvider::mat_sub(const Matrix& a, const Matrix& b) {
  if (a.rows() != b.rows() || a.cols() != b.cols()) {
    internal_error("Matrix addition/subtraction dimensions mismatch.");
  }
  return a - b;
}

Vector DenseProvider::mat_vec(const Matrix& a, const Vector& v) {
  if (a.cols() != v.size()) internal_error("Gemv: dimensions mismatch.");
  return a * v;
}

std::optional<Matrix> DenseProvider::lu_inverse(const Matrix& a) {
  if (a.rows() != a.cols()) {
    internal_error("LU inverse: unable to compute the inverse of a non-square matrix.");
  }
  if (a.size() == 0) return Matrix(0, 0);
  auto lu = factorise(a);
  if (!lu) return std::nullopt;
  return Matrix(lu->inverse());
}

std::optional<Matrix> DenseProvider::lu_solve_matrix(const Matrix& a, const Matrix& b) {
  require_square_system(a, b.rows());
  if (a.size() == 0) return Matrix(0, b.cols());
  auto lu = factorise(a);
  if (!lu) return std::nullopt;
  return Matrix(lu->solve(b));
}

std::optional<Vector> DenseProvider::lu_solve(const Matrix& a, const Vector& b) {
  require_square_system(a, b.size());
  if (a.size() == 0) return Vector(0);
  auto lu = factorise(a);
  if (!lu) return std::nullopt;
  return Vector(lu->solve(b));
}

}  // namespace tarnwex
