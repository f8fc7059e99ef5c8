#include "minimizer/lbfgsb.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "minimizer/dense_provider.h"

namespace tarnwex {

Vector clip(const Vector& v, const std::optional<BoundList>& bounds) {
  Vector clipped = v;
  if (!bounds) return clipped;
  for (std::size_t b = 0; b < bounds->size(); ++b) {
    const ScalarBound& bound = (*bounds)[b];
    double& value = clipped[static_cast<Eigen::Index>(b)];
    switch (bound.form) {
      case ScalarBound::Form::LowerOnly:
        if (bound.lower > value) value = bound.lower;
        break;
      case ScalarBound::Form::UpperOnly:
        if (value > bound.upper) value = bound.upper;
        break;
      case ScalarBound::Form::LowerAndUpper:
        if (bound.lower > value) {
          value = bound.lower;
        } else if (value > bound.upper) {
          value = bound.upper;
        }
        break;
      case ScalarBound::Form::Unbounded:
        break;
    }
  }
  return clipped;
}

MinimizationSummary summarize(const GradientStatus& status, const Vector& start,
                              const LBFGSBConfig& config) {
  const Eigen::Index n = status.position.size();
  MinimizationSummary summary;
  summary.initial_position = start;
  summary.position = status.position;
  summary.errors = status.errors ? *status.errors : unknown_uncertainties(n);
  summary.covariance = status.covariance ? *status.covariance : Matrix::Identity(n, n);
  summary.bounds = config.bounds;
  if (config.bounds && config.transform) {
    summary.bounds = config.transform->bounds_to_external(*config.bounds);
  }
  summary.parameter_names = config.parameter_names;
  summary.message = status.message;
  summary.value = status.value;
  summary.objective_evaluations = status.objective_evaluations;
  summary.gradient_evaluations = status.gradient_evaluations;
  summary.hessian_evaluations = status.hessian_evaluations;
  return summary;
}

bool run_has_ended(GradientStatus& status) {
  if (status.message.kind == StatusType::Success) return true;
  if (!std::isfinite(status.value)) {
    status.message.fail();
    status.message.text = std::string("f(x) is not finite");
    return true;
  }
  return false;
}

double bound_limited_step(const Vector& x, const Vector& d, const std::optional<BoundList>& bounds,
                          double max_step) {
  if (!bounds) return max_step;
  double alpha_bound = std::numeric_limits<double>::infinity();
  for (std::size_t b = 0; b < bounds->size(); ++b) {
    const ScalarBound& bound = (*bounds)[b];
    const Eigen::Index i = static_cast<Eigen::Index>(b);
    const double d_i = d[i];
    // Only the side the direction moves towards limits the step; d_i = 0 and
    // NaN give no candidate.
    double candidate = std::numeric_limits<double>::quiet_NaN();
    if (bound.has_lower() && d_i < 0.0) {
      candidate = (bound.lower - x[i]) / d_i;
    } else if (bound.has_upper() && d_i > 0.0) {
      candidate = (bound.upper - x[i]) / d_i;
    }
    if (candidate < alpha_bound) alpha_bound = candidate;
  }
  if (!std::isfinite(alpha_bound)) return max_step;
  return alpha_bound < max_step ? alpha_bound : max_step;
}

void forget_correction_pairs(LBFGSB& state) {
  state.s_history.clear();
  state.y_history.clear();
  state.theta = 1.0;
  state.w_matrix = Matrix(state.x.size(), 0);
  state.middle_matrix.reset();
}

void adopt_step(LBFGSB& state, GradientStatus& status, Vector x_new, double value, Vector gradient,
                std::size_t memory_size, const std::optional<ParameterTransform>& transform) {
  Vector s = x_new - state.x;
  Vector y = gradient - state.g;
  const double sy = DenseProvider::vec_dot(s, y);
  const double yy = DenseProvider::vec_dot(y, y);
  // A pair without positive curvature would make the model indefinite; it is
  // skipped and the model keeps its previous pairs.
  if (sy > kMachineEpsilon * yy) {
    if (state.s_history.size() == std::max<std::size_t>(memory_size, 1)) {
      state.s_history.pop_front();
      state.y_history.pop_front();
    }
    state.s_history.push_back(std::move(s));
    state.y_history.push_back(std::move(y));
    state.theta = yy / sy;
    rebuild_limited_memory_matrices(state);
  }
  state.x = std::move(x_new);
  state.f = value;
  state.g = std::move(gradient);

  status.position = external_point(state.x, transform);
  status.message.step();
  status.value = state.f;
}

void status_to_external(GradientStatus& status, const ParameterTransform& transform) {
  if (status.hessian_matrix) {
    status.hessian_matrix = transform.hessian_to_external(*status.hessian_matrix);
  }
  // With power-of-two scales sqrt(s_i^2 P_ii) is exactly s_i sqrt(P_ii).
  if (status.covariance) status.set_cov(transform.covariance_to_external(*status.covariance));
}

void rebuild_limited_memory_matrices(LBFGSB& state) {
  const Eigen::Index n = state.x.size();
  const Eigen::Index k = static_cast<Eigen::Index>(state.s_history.size());
  Matrix s(n, k);
  Matrix y(n, k);
  for (Eigen::Index j = 0; j < k; ++j) {
    s.col(j) = state.s_history[static_cast<std::size_t>(j)];
    y.col(j) = state.y_history[static_cast<std::size_t>(j)];
  }

  Matrix w(n, 2 * k);
  for (Eigen::Index j = 0; j < k; ++j) {
    w.col(j) = y.col(j);
    w.col(k + j) = state.theta * s.col(j);
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
    for (Eigen::Index j = 0; j < k; ++j) middle(k + i, k + j) = state.theta * ss(i, j);
  }
  state.w_matrix = std::move(w);
  state.middle_matrix = std::move(middle);
}

}  // namespace tarnwex
