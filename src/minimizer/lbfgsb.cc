#include "minimizer/lbfgsb.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "minimizer/dense_provider.h"

namespace tarnwex {

MinimizationSummary summarize(const GradientStatus& status, const Vector& start,
                              const LBFGSBConfig& config) {
  const Eigen::Index n = status.position.size();
  MinimizationSummary summary;
  summary.initial_position = start;
  summary.position = status.position;
  summary.errors = status.errors ? *status.errors : unknown_uncertainties(n);
  summary.covariance = status.covariance ? *status.covariance : Matrix::Identity(n, n);
  summary.hessian = status.hessian_matrix;
  summary.bounds = config.transform ? config.transform->box : config.bounds;
  summary.parameter_names = config.parameter_names;
  summary.message = status.message;
  summary.value = status.value;
  summary.objective_evaluations = status.objective_evaluations;
  summary.gradient_evaluations = status.gradient_evaluations;
  summary.hessian_evaluations = status.hessian_evaluations;
  summary.steps = status.steps;
  return summary;
}

bool LBFGSB::run_has_ended(GradientStatus& status) {
  if (status.message.kind == StatusType::Success) return true;
  if (!std::isfinite(status.value)) {
    status.message.fail();
    status.message.text = std::string("f(x) is not finite");
    return true;
  }
  return false;
}

double LBFGSB::bound_limited_step(const Vector& x, const Vector& d,
                                  const std::optional<BoundList>& bounds, double max_step) {
  if (!bounds) return max_step;
  double alpha_bound = std::numeric_limits<double>::infinity();
  for (std::size_t b = 0; b < bounds->size(); ++b) {
    const ScalarBound& bound = (*bounds)[b];
    const Eigen::Index i = static_cast<Eigen::Index>(b);
    const double d_i = d[i];
    // Only the side the direction moves towards limits the step; a missing
    // side gives an infinite or NaN candidate, and neither lowers the minimum.
    // d_i = 0 and NaN give no candidate at all.
    double candidate;
    if (d_i < 0.0) {
      candidate = (bound.lower_side() - x[i]) / d_i;
    } else if (d_i > 0.0) {
      candidate = (bound.upper_side() - x[i]) / d_i;
    } else {
      continue;
    }
    if (candidate < alpha_bound) alpha_bound = candidate;
  }
  if (!std::isfinite(alpha_bound)) return max_step;
  return alpha_bound < max_step ? alpha_bound : max_step;
}

void LBFGSB::forget_correction_pairs() {
  s_history.clear();
  y_history.clear();
  theta = 1.0;
  rebuild_compact_form();
}

void LBFGSB::rebuild_compact_form() {
  CompactForm form = compact_form(s_history, y_history, theta, x.size());
  w_matrix = std::move(form.w);
  middle_matrix = std::move(form.middle);
}

void LBFGSB::adopt_step(GradientStatus& status, Vector x_new, double value, Vector gradient,
                        const LBFGSBConfig& config) {
  Vector s = x_new - x;
  Vector y = gradient - g;
  const double sy = DenseProvider::vec_dot(s, y);
  const double yy = DenseProvider::vec_dot(y, y);
  // A pair without positive curvature would make the model indefinite; it is
  // skipped and the model keeps its previous pairs.
  if (sy > kMachineEpsilon * yy) {
    if (s_history.size() == std::max<std::size_t>(config.memory_size, 1)) {
      s_history.pop_front();
      y_history.pop_front();
    }
    s_history.push_back(std::move(s));
    y_history.push_back(std::move(y));
    theta = yy / sy;
    rebuild_compact_form();
  }
  x = std::move(x_new);
  f = value;
  g = std::move(gradient);

  status.position = external_point(x, config.transform);
  status.message.step();
  status.value = f;
}

bool LBFGSB::callbacks_end_run(Callbacks& callbacks, std::size_t current_step,
                               GradientStatus& status, const LBFGSBConfig& config) {
  for (CallbackLike& entry : callbacks.entries) {
    if (const auto* observer = std::get_if<std::unique_ptr<Observer>>(&entry)) {
      (*observer)->observe(current_step, *this, status, config);
    } else if (std::get<std::unique_ptr<Terminator>>(entry)->check_for_termination(
                   current_step, *this, status, config) == TerminationDecision::Stop) {
      return true;
    }
  }
  return false;
}

void LBFGSB::status_to_external(GradientStatus& status, const ParameterTransform& transform) {
  if (status.hessian_matrix) {
    status.hessian_matrix = transform.hessian_to_external(*status.hessian_matrix);
  }
  // With power-of-two scales sqrt(s_i^2 P_ii) is exactly s_i sqrt(P_ii).
  if (status.covariance) status.set_cov(transform.covariance_to_external(*status.covariance));
}

}  // namespace tarnwex
