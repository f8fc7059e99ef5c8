// The L-BFGS-B driver: its running state and one complete run.
#pragma once

#include <cstddef>
#include <deque>
#include <expected>
#include <limits>
#include <optional>
#include <utility>

#include "minimizer/box.h"
#include "minimizer/bound_constrained_direction.h"
#include "minimizer/callbacks.h"
#include "minimizer/lbfgsb_config.h"
#include "minimizer/more_thuente_line_search.h"
#include "minimizer/parameter_transform.h"
#include "minimizer/problem.h"
#include "minimizer/status.h"
#include "minimizer/types.h"

namespace tarnwex {

// The summary of a finished run, its bounds in the caller's coordinates.
MinimizationSummary summarize(const GradientStatus& status, const Vector& start,
                              const LBFGSBConfig& config);

// Running state of one minimization; `process` re-initialises every field.
class LBFGSB {
 public:
  MoreThuenteLineSearch line_search;
  Vector x;                        // current point, inside the box
  Vector g;                        // gradient adopted for x
  std::deque<Vector> s_history;    // point differences, oldest first
  std::deque<Vector> y_history;    // gradient differences, oldest first
  Matrix w_matrix;                 // [Y, theta * S], n by 2k
  std::optional<Matrix> middle_matrix;  // [[-D, L^T], [L, theta * S^T S]], absent when k = 0
  double f = std::numeric_limits<double>::infinity();
  double f_previous = std::numeric_limits<double>::infinity();
  double theta = 1.0;

  // Runs one minimization from `start`. Returns the summary of every normal
  // end (converged, step limit, non-finite objective) or the problem's error.
  template <class E>
  std::expected<MinimizationSummary, E> process(ScalarGradient<E>& problem, Vector start,
                                                LBFGSBConfig config, Callbacks callbacks);

 private:
  // One step: direction, bound-limited line search, update. Only a problem
  // error is an error. A failed line search that met a decrease the NLL can
  // resolve moves to its lowest trial point; one that did not keeps the
  // point. Either way the memory is cleared and the next objective-change
  // test has nothing to compare with. True when the step moved to a new
  // point.
  template <class E>
  std::expected<bool, E> step(const TransformedProblem<E>& problem, const LBFGSBConfig& config,
                              GradientStatus& status);

  // Asks the problem whether the scale still fits the curvature at x; with a
  // new scale, x, g and the bounds are mapped into it (the bounds from the
  // caller's box, so that no rounding accumulates) and the memory, built in
  // the old scale, is cleared.
  // f, f_previous and the status stay: the point is the same. True when the
  // scale changed.
  template <class E>
  std::expected<bool, E> rescale(const TransformedProblem<E>& problem, LBFGSBConfig& config);

  // Built-in end of a run, checked after initialisation and after every step:
  // a converged status, or a non-finite objective value (marked as failed).
  static bool run_has_ended(GradientStatus& status);

  // The largest step along d that stays inside the box, capped by max_step.
  static double bound_limited_step(const Vector& x, const Vector& d,
                                   const std::optional<BoundList>& bounds, double max_step);

  // Empties the correction-pair memory: theta = 1, W is n by 0, no middle matrix.
  void forget_correction_pairs();

  // W and the middle matrix from the stored pairs and theta.
  void rebuild_compact_form();

  // Moves to the accepted point with the value and gradient found there,
  // stores the correction pair when it carries curvature, and records the
  // step in the status, its point in the caller's coordinates.
  void adopt_step(GradientStatus& status, Vector x_new, double value, Vector gradient,
                  const LBFGSBConfig& config);

  // Consults the entries in order after step `current_step`; true when a
  // terminator ends the run (the entries behind it are not consulted).
  bool callbacks_end_run(Callbacks& callbacks, std::size_t current_step, GradientStatus& status,
                         const LBFGSBConfig& config);

  // Takes the final Hessian, covariance and errors of a run made in internal
  // coordinates back to the caller's: H, S P S and s * e.
  static void status_to_external(GradientStatus& status, const ParameterTransform& transform);
};

template <class E>
std::expected<bool, E> LBFGSB::step(const TransformedProblem<E>& problem, const LBFGSBConfig& config,
                                    GradientStatus& status) {
  const LimitedMemoryModel model{x, g, theta, w_matrix, middle_matrix};
  const Vector d = bound_constrained_direction(model, config.bounds);
  if (!d.allFinite()) {
    // The model broke down (an overflow in its products): no point along d
    // may be evaluated, and the run ends as a failure rather than
    // presenting such a point to the problem.
    status.message.fail();
    status.message.text = std::string("search direction is not finite");
    return false;
  }
  const double alpha_max = bound_limited_step(x, d, config.bounds, config.max_step);
  auto found = more_thuente_search(line_search, x, d, std::optional<double>(alpha_max),
                                   config.bounds, problem, status.objective_evaluations,
                                   status.gradient_evaluations);
  if (!found) return std::unexpected(std::move(found.error()));
  if (found->failed) {
    // A search that met nothing lower than f by more than the objective can
    // resolve has found x to be a minimum as far as the objective tells:
    // f_previous stays, so the objective-change test ends the run at this
    // step. One that saw a real decrease but could not take it says nothing
    // about convergence, and the run never ends above a point it has seen:
    // it moves to the lowest trial point (its gradient evaluated there), the
    // objective-change test gets nothing to compare with, and the next step
    // begins afresh with an empty memory.
    if (!(f - found->lowest_value > objective_resolution(f, config))) {
      forget_correction_pairs();
      return false;
    }
    Vector lowest = trial_point(x, found->lowest_step, d, config.bounds);
    ++status.gradient_evaluations;
    auto gradient = problem.gradient(lowest);
    if (!gradient) return std::unexpected(std::move(gradient.error()));
    f_previous = std::numeric_limits<double>::infinity();
    adopt_step(status, std::move(lowest), found->lowest_value, std::move(*gradient), config);
    forget_correction_pairs();
    return true;
  }
  adopt_step(status, trial_point(x, found->step_length, d, config.bounds), found->value,
             std::move(found->gradient), config);
  return true;
}

template <class E>
std::expected<bool, E> LBFGSB::rescale(const TransformedProblem<E>& problem, LBFGSBConfig& config) {
  auto fresh = problem.rescale(x);
  if (!fresh) return std::unexpected(std::move(fresh.error()));
  if (!*fresh) return false;
  ParameterTransform& transform = *config.transform;
  const Vector x_external = transform.to_external(x);
  const Vector g_external = g.cwiseQuotient(transform.scale);
  transform.scale = std::move(**fresh);
  if (config.bounds) config.bounds = transform.internal_bounds();
  x = clip(transform.to_internal(x_external), config.bounds);
  g = transform.gradient_to_internal(g_external);
  forget_correction_pairs();
  return true;
}

template <class E>
std::expected<MinimizationSummary, E> LBFGSB::process(ScalarGradient<E>& problem, Vector start,
                                                      LBFGSBConfig config, Callbacks callbacks) {
  GradientStatus status;
  const ParameterTransform* transform = config.transform ? &*config.transform : nullptr;
  const TransformedProblem<E> adapter(problem, transform);

  // The iteration, its bounds and its terminators all work in internal
  // coordinates; the transform keeps the caller's box, which `summarize`
  // reports.
  if (transform) {
    config.transform->box = config.bounds;
    if (config.bounds) config.bounds = transform->internal_bounds();
  }
  x = clip(transform ? transform->to_internal(start) : start, config.bounds);
  auto value = adapter.evaluate(x);
  if (!value) return std::unexpected(std::move(value.error()));
  auto gradient = adapter.gradient(x);
  if (!gradient) return std::unexpected(std::move(gradient.error()));
  f = *value;
  g = std::move(*gradient);
  f_previous = std::numeric_limits<double>::infinity();
  forget_correction_pairs();
  line_search = config.line_search;

  status.objective_evaluations += 1;
  status.gradient_evaluations += 1;
  // The caller sees the point it passed in, even when it lay outside the box.
  status.position = start;
  status.message.initialize();
  status.value = f;

  if (!run_has_ended(status)) {
    std::size_t rescales = 0;
    for (std::size_t current_step = 0;; ++current_step) {
      ++status.steps;
      auto stepped = step(adapter, config, status);
      if (!stepped) return std::unexpected(std::move(stepped.error()));
      if (run_has_ended(status)) break;
      if (callbacks_end_run(callbacks, current_step, status, config)) break;
      // The terminators have judged the step in the scale it was taken in;
      // the next one may need another.
      if (*stepped && rescales < config.max_rescales) {
        auto rescaled = rescale(adapter, config);
        if (!rescaled) return std::unexpected(std::move(rescaled.error()));
        if (*rescaled) ++rescales;
      }
    }
  }

  if (!config.skip_hessian) {
    auto hessian = adapter.hessian(x);
    if (!hessian) return std::unexpected(std::move(hessian.error()));
    status.hessian_evaluations += 1;
    status.set_hess(std::move(*hessian), on_bound_sides(x, config.bounds),
                    config.hessian_resolution);
    if (transform) status_to_external(status, *transform);
  }
  return summarize(status, start, config);
}

}  // namespace tarnwex
