#include "minimizer/subspace_minimization.h"

#include <cstddef>

#include "minimizer/dense_provider.h"

namespace tarnwex {
namespace {

// The model's Newton step on the free coordinates, from the reduced gradient
// r_F, through the inverse of the reduced model matrix written with the
// middle matrix (no factorisation of an n by n matrix is ever made).
Vector free_step(const LimitedMemoryModel& model, const std::vector<Eigen::Index>& free_set,
                 const Vector& r_free) {
  const double inverse_theta = 1.0 / model.theta;
  const Eigen::Index columns = model.memory_columns();
  if (columns == 0) return -inverse_theta * r_free;

  const Eigen::Index m = static_cast<Eigen::Index>(free_set.size());
  Matrix w_free(m, columns);
  for (Eigen::Index j = 0; j < m; ++j) w_free.row(j) = model.w.row(free_set[static_cast<std::size_t>(j)]);
  const Matrix w_free_transposed = w_free.transpose();

  const Matrix k = DenseProvider::mat_mul(w_free_transposed, w_free);
  const Matrix k_solved = model.solve_middle_matrix(k);
  const Matrix n = DenseProvider::mat_sub(Matrix::Identity(columns, columns), inverse_theta * k_solved);
  const Vector v = DenseProvider::mat_vec(w_free_transposed, r_free);
  const Vector v1 = model.solve_middle(v);
  // A singular N leaves only the scaled steepest-descent part of the step.
  Vector v2 = DenseProvider::lu_solve(n, v1).value_or(Vector::Zero(columns));
  return -inverse_theta * (r_free + inverse_theta * DenseProvider::mat_vec(w_free, v2));
}

}  // namespace

Vector subspace_minimum(const LimitedMemoryModel& model, const CauchyPoint& cauchy,
                        const std::optional<BoundList>& bounds) {
  const std::vector<Eigen::Index>& free_set = cauchy.free_set;
  const Vector& x_c = cauchy.x_c;

  const Vector r = (model.g + model.theta * (x_c - model.x)) -
                   DenseProvider::mat_vec(model.w, model.solve_middle(cauchy.c));
  Vector r_free(static_cast<Eigen::Index>(free_set.size()));
  for (std::size_t j = 0; j < free_set.size(); ++j) r_free[static_cast<Eigen::Index>(j)] = r[free_set[j]];

  const Vector du = free_step(model, free_set, r_free);

  // The largest fraction (at most the whole step) that keeps every free
  // coordinate inside its bounds; a NaN candidate never shortens the step.
  double alpha = 1.0;
  for (std::size_t j = 0; j < free_set.size(); ++j) {
    const Eigen::Index i = free_set[j];
    const double step = du[static_cast<Eigen::Index>(j)];
    double candidate = 1.0;
    if (step > 0.0) {
      candidate = (bound_of(bounds, i).upper_side() - x_c[i]) / step;
    } else if (step < 0.0) {
      candidate = (bound_of(bounds, i).lower_side() - x_c[i]) / step;
    }
    if (candidate < alpha) alpha = candidate;
  }

  Vector x_bar = x_c;
  for (std::size_t j = 0; j < free_set.size(); ++j) {
    const Eigen::Index i = free_set[j];
    x_bar[i] = x_c[i] + alpha * du[static_cast<Eigen::Index>(j)];
  }
  return x_bar;
}

}  // namespace tarnwex
