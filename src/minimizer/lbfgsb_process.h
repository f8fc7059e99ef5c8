// One complete L-BFGS-B run and its steps. Included at the end of lbfgsb.h,
// because the run is a template over the problem's error type.
#pragma once

#include <cstddef>
#include <expected>
#include <limits>
#include <optional>
#include <utility>

#include "minimizer/axpy.h"
#include "minimizer/bound_constrained_direction.h"
#include "minimizer/lbfgsb.h"
#include "minimizer/more_thuente_search.h"
#include "minimizer/parameter_transform.h"

namespace tarnwex {

// Built-in end of a run, checked after initialisation and after every step:
// a converged status, or a non-finite objective value (marked as failed).
bool run_has_ended(GradientStatus& status);

// The largest step along d that stays inside the box, capped by max_step.
double bound_limited_step(const Vector& x, const Vector& d, const std::optional<BoundList>& bounds,
                          double max_step);

// Empties the correction-pair memory: theta = 1, W is n by 0, no middle matrix.
void forget_correction_pairs(LBFGSB& state);

// Moves the state to the accepted point with the value and gradient found
// there, stores the correction pair when it carries curvature, and records
// the step in the status.
// The status records the point in the caller's coordinates.
void adopt_step(LBFGSB& state, GradientStatus& status, Vector x_new, double value, Vector gradient,
                std::size_t memory_size,
                const std::optional<ParameterTransform>& transform = std::nullopt);

// Takes the final Hessian, covariance and errors of a run made in internal
// coordinates back to the caller's: H, S P S and s * e.
void status_to_external(GradientStatus& status, const ParameterTransform& transform);

// W = [Y, theta * S] and the middle matrix [[-D, L^T], [L, theta * S^T S]]
// from the stored pairs.
void rebuild_limited_memory_matrices(LBFGSB& state);

// One step: direction, bound-limited line search, update. Only a problem
// error is an error; a failed line search keeps the point and clears memory,
// and marks the state when there was memory to clear.
template <class E>
std::expected<void, E> lbfgsb_step(LBFGSB& state, const TransformedProblem<E>& problem,
                                   const LBFGSBConfig& config, GradientStatus& status) {
  const Vector d = bound_constrained_direction(state, config.bounds);
  const double alpha_max = bound_limited_step(state.x, d, config.bounds, config.max_step);
  auto found = more_thuente_search(state.line_search, state.x, d, std::optional<double>(alpha_max),
                                   problem, status.objective_evaluations,
                                   status.gradient_evaluations);
  if (!found) return std::unexpected(std::move(found.error()));
  state.memory_reset_by_failed_search = false;
  if (found->failed) {
    state.memory_reset_by_failed_search = !state.s_history.empty();
    forget_correction_pairs(state);
    return {};
  }
  Vector x_new = clip(axpy(state.x, found->step_length, d), config.bounds);
  adopt_step(state, status, std::move(x_new), found->value, std::move(found->gradient),
             config.memory_size, config.transform);
  return {};
}

template <class E>
std::expected<MinimizationSummary, E> LBFGSB::process(const ScalarGradient<E>& problem, Vector start,
                                                      LBFGSBConfig config, Callbacks callbacks) {
  GradientStatus status;
  const ParameterTransform* transform = config.transform ? &*config.transform : nullptr;
  const TransformedProblem<E> adapter(problem, transform);

  // The iteration, its bounds and its terminators all work in internal
  // coordinates; `summarize` maps the bounds back.
  if (transform && config.bounds) config.bounds = transform->bounds_to_internal(*config.bounds);
  x = clip(transform ? transform->to_internal(start) : start, config.bounds);
  auto value = adapter.evaluate(x);
  if (!value) return std::unexpected(std::move(value.error()));
  auto gradient = adapter.gradient(x);
  if (!gradient) return std::unexpected(std::move(gradient.error()));
  f = *value;
  g = std::move(*gradient);
  f_previous = std::numeric_limits<double>::infinity();
  forget_correction_pairs(*this);
  memory_reset_by_failed_search = false;
  line_search = config.line_search;

  status.objective_evaluations += 1;
  status.gradient_evaluations += 1;
  // The caller sees the point it passed in, even when it lay outside the box.
  status.position = start;
  status.message.initialize();
  status.value = f;

  if (!run_has_ended(status)) {
    for (std::size_t current_step = 0;; ++current_step) {
      if (auto stepped = lbfgsb_step(*this, adapter, config, status); !stepped) {
        return std::unexpected(std::move(stepped.error()));
      }
      if (run_has_ended(status)) break;
      bool stop = false;
      for (CallbackLike& entry : callbacks.entries) {
        const TerminationDecision decision =
            entry.callback->check_for_termination(current_step, *this, status, config);
        if (!entry.is_observer && decision == TerminationDecision::Stop) {
          stop = true;
          break;
        }
      }
      if (stop) break;
    }
  }

  if (!config.skip_hessian) {
    auto hessian = adapter.hessian(x);
    if (!hessian) return std::unexpected(std::move(hessian.error()));
    status.hessian_evaluations += 1;
    status.set_hess(std::move(*hessian));
    if (transform) status_to_external(status, *transform);
  }
  return summarize(status, start, config);
}

}  // namespace tarnwex
