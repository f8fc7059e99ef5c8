#include "fit/runs/minimizer_run.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "fit/core/fit_policy.h"
#include "fit/scales/convergence_scale.h"
#include "fit/scales/coordinate_scale.h"
#include "minimizer/box.h"
#include "minimizer/callbacks.h"
#include "minimizer/lbfgsb.h"
#include "minimizer/lbfgsb_config.h"
#include "minimizer/terminators.h"

namespace tarnwex {

namespace {

template <class T>
std::expected<Callbacks, SPlotError> add_terminator(Callbacks callbacks,
                                                    std::expected<T, MinimizerError> terminator) {
  if (!terminator) return std::unexpected(SPlotError::minimizer(std::move(terminator.error())));
  return with_terminator(std::move(callbacks), std::make_unique<T>(std::move(*terminator)));
}

// The objective-change test at `objective_threshold`, the two gradient tests
// at `gradient_threshold`, then the step limit.
std::expected<Callbacks, SPlotError> build_callbacks(double objective_threshold,
                                                     double gradient_threshold,
                                                     std::optional<std::size_t> max_steps,
                                                     std::optional<std::size_t> budget) {
  auto callbacks = add_terminator(Callbacks{}, LBFGSBFTerminator::create(objective_threshold));
  if (callbacks) {
    callbacks =
        add_terminator(std::move(*callbacks), LBFGSBGTerminator::create(gradient_threshold));
  }
  if (callbacks) {
    callbacks = add_terminator(std::move(*callbacks),
                               LBFGSBInfNormGTerminator::create(gradient_threshold));
  }
  if (callbacks && max_steps) {
    // The message names the caller's limit, not what this run had left of it.
    callbacks = with_terminator(std::move(*callbacks),
                                std::make_unique<MaxSteps>(*max_steps, budget.value_or(*max_steps)));
  }
  return callbacks;
}

// The minimizer's configuration (bounds, thresholds, scaled coordinates)
// and its terminators, for a run starting at `start` of at most `max_steps`;
// `event_unit` is the statistical weight of one event.
struct MinimizerSetup {
  LBFGSBConfig config;
  Callbacks callbacks;
};

std::expected<MinimizerSetup, SPlotError> configure_minimizer(JointLikelihood& likelihood,
                                                              const StartPoint& start,
                                                              const RunLimits& limits,
                                                              std::optional<std::size_t> max_steps,
                                                              double event_unit) {
  auto lbfgsb_config = with_bounds(LBFGSBConfig{}, start.bounds);
  if (!lbfgsb_config) return std::unexpected(SPlotError::minimizer(std::move(lbfgsb_config.error())));
  // The tests measure the NLL in its statistical units, whatever the
  // weights; the objective-change test never looks finer than the
  // NLL resolves, nor does a failed line search count a smaller decrease.
  const double objective_threshold = objective_change_threshold(limits.tolerance, event_unit);
  lbfgsb_config->objective_resolution = objective_threshold;
  lbfgsb_config->objective_resolution_ulps = policy::kResolutionUlps;
  // Gradients in the minimizer's scaled coordinates grow as the square root
  // of the event unit.
  auto callbacks =
      build_callbacks(objective_threshold, limits.tolerance * std::sqrt(event_unit), max_steps,
                      limits.max_steps);
  if (!callbacks) return std::unexpected(std::move(callbacks.error()));
  auto scale = coordinate_scale(likelihood, start.x, event_unit);
  if (!scale) return std::unexpected(std::move(scale.error()));
  lbfgsb_config->transform = std::move(*scale);
  lbfgsb_config->max_rescales = policy::kMaxRescales;
  return MinimizerSetup{std::move(*lbfgsb_config), std::move(*callbacks)};
}

}  // namespace

std::expected<MinimizationSummary, SPlotError> FitRunner::run(const StartPoint& from) {
  auto setup = configure_minimizer(*likelihood_, from, limits_, steps_left_, event_unit_);
  if (!setup) return std::unexpected(std::move(setup.error()));
  setup->config.skip_hessian = true;
  RescalingLikelihood rescaling(*likelihood_, event_unit_);
  LBFGSB minimizer;
  auto summary = minimizer.process<SPlotError>(rescaling, from.x, std::move(setup->config),
                                               std::move(setup->callbacks));
  if (summary && steps_left_) *steps_left_ -= std::min(*steps_left_, summary->steps);
  return summary;
}

std::expected<void, SPlotError> FitRunner::add_hessian(MinimizationSummary& run) const {
  if (run.hessian) return {};
  auto both = likelihood_->gradient_with_hessian(run.position);
  if (!both) return std::unexpected(std::move(both.error()));
  // The same covariance as the minimizer's own final Hessian would give: its
  // coordinates differ from these by a diagonal scale, which the scaling to
  // unit diagonal takes out up to rounding.
  GradientStatus status;
  status.set_hess(std::move(both->hessian), on_bound_sides(run.position, run.bounds),
                  limits_.hessian_resolution);
  run.hessian = std::move(status.hessian_matrix);
  run.covariance = std::move(*status.covariance);
  run.errors = std::move(*status.errors);
  run.hessian_evaluations += 1;
  return {};
}

void add_counts(MinimizationSummary& to, const MinimizationSummary& from) {
  to.objective_evaluations += from.objective_evaluations;
  to.gradient_evaluations += from.gradient_evaluations;
  to.hessian_evaluations += from.hessian_evaluations;
  to.steps += from.steps;
}

}  // namespace tarnwex
