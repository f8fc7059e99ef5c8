#include "minimizer/terminators.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "minimizer/lbfgsb.h"

namespace tarnwex {

namespace {

// Absolute distance within which a coordinate counts as lying on its bound: 2^-26.
constexpr double kOnBoundTolerance = 1.4901161193847656e-08;

TerminationDecision succeed_with(GradientStatus& status, const char* text) {
  status.message.succeed();
  status.message.text = text;
  return TerminationDecision::Stop;
}

// Largest |pg_i| of the gradient with the components that push a coordinate
// lying on a bound out of the box set to zero. NaN components never count.
double projected_gradient_norm(const Vector& x, const Vector& g,
                               const std::optional<BoundList>& bounds) {
  Vector pg = g;
  if (bounds && !bounds->empty()) {
    for (std::size_t i = 0; i < bounds->size(); ++i) {
      const ScalarBound& bound = (*bounds)[i];
      const auto k = static_cast<Eigen::Index>(i);
      const bool at_lower = bound.has_lower() && x[k] <= bound.lower + kOnBoundTolerance;
      const bool at_upper = bound.has_upper() && x[k] >= bound.upper - kOnBoundTolerance;
      if (at_lower && pg[k] > 0.0) {
        pg[k] = 0.0;
      } else if (at_upper && pg[k] < 0.0) {
        pg[k] = 0.0;
      }
    }
  }
  double norm = 0.0;
  for (Eigen::Index i = 0; i < pg.size(); ++i) {
    const double magnitude = std::abs(pg[i]);
    if (magnitude > norm) norm = magnitude;
  }
  return norm;
}

}  // namespace

TerminationDecision LBFGSBFTerminator::check_for_termination(std::size_t, LBFGSB& state,
                                                             GradientStatus& status,
                                                             const LBFGSBConfig& config) {
  // Never finer than the objective resolves where the run now is.
  const double threshold = std::max(eps_abs_, objective_resolution(state.f, config));
  if (threshold > std::abs(state.f_previous - state.f)) {
    return succeed_with(status, "F_EVAL CONVERGED");
  }
  state.f_previous = state.f;
  return TerminationDecision::Continue;
}

TerminationDecision LBFGSBGTerminator::check_for_termination(std::size_t, LBFGSB& state,
                                                             GradientStatus& status,
                                                             const LBFGSBConfig&) {
  double sum_of_squares = 0.0;
  for (Eigen::Index i = 0; i < state.g.size(); ++i) sum_of_squares += state.g[i] * state.g[i];
  if (eps_abs_ > std::sqrt(sum_of_squares)) return succeed_with(status, "GRADIENT CONVERGED");
  return TerminationDecision::Continue;
}

TerminationDecision LBFGSBInfNormGTerminator::check_for_termination(std::size_t, LBFGSB& state,
                                                                    GradientStatus& status,
                                                                    const LBFGSBConfig& config) {
  if (eps_abs_ > projected_gradient_norm(state.x, state.g, config.bounds)) {
    return succeed_with(status, "PROJECTED GRADIENT WITHIN TOLERANCE");
  }
  return TerminationDecision::Continue;
}

TerminationDecision MaxSteps::check_for_termination(std::size_t current_step, LBFGSB&,
                                                    GradientStatus& status, const LBFGSBConfig&) {
  // A limit of 0 acts as 1: the run always takes its first step.
  const std::size_t last_step = max_steps_ == 0 ? 0 : max_steps_ - 1;
  if (current_step < last_step) return TerminationDecision::Continue;
  status.message.reset();
  status.message.kind = StatusType::Message;
  status.message.text = "Maximum number of steps reached (" + std::to_string(reported_) + ")";
  return TerminationDecision::Stop;
}

}  // namespace tarnwex
