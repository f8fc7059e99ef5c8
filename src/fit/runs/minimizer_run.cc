#include "fit/runs/minimizer_run.h"

#include <cmath>
#include <memory>
#include <utility>

#include "fit/inputs/fit_policy.h"
#include "fit/scales/convergence_scale.h"
#include "fit/scales/coordinate_scale.h"
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
                                                     std::optional<std::size_t> max_steps) {
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
    callbacks = with_terminator(std::move(*callbacks), std::make_unique<MaxSteps>(*max_steps));
  }
  return callbacks;
}

// The minimizer's configuration (bounds, thresholds, scaled coordinates)
// and its terminators, for a run starting at `start` with the NLL
// `nll_at_start`; `event_unit` is the statistical weight of one event.
struct MinimizerSetup {
  LBFGSBConfig config;
  Callbacks callbacks;
};

std::expected<MinimizerSetup, SPlotError> configure_minimizer(JointLikelihood& likelihood,
                                                              const StartPoint& start,
                                                              double nll_at_start,
                                                              const RunLimits& limits,
                                                              double event_unit) {
  auto lbfgsb_config = with_bounds(LBFGSBConfig{}, start.bounds);
  if (!lbfgsb_config) return std::unexpected(SPlotError::minimizer(std::move(lbfgsb_config.error())));
  // The tests measure the NLL in its statistical units, whatever the
  // weights; the objective-change test never looks finer than the
  // NLL resolves, nor does a failed line search count a smaller decrease.
  const double objective_threshold = objective_change_threshold(limits.tolerance, event_unit, nll_at_start);
  lbfgsb_config->objective_resolution = objective_threshold;
  // Gradients in the minimizer's scaled coordinates grow as the square root
  // of the event unit.
  auto callbacks =
      build_callbacks(objective_threshold, limits.tolerance * std::sqrt(event_unit), limits.max_steps);
  if (!callbacks) return std::unexpected(std::move(callbacks.error()));
  auto scale = coordinate_scale(likelihood, start.x, event_unit);
  if (!scale) return std::unexpected(std::move(scale.error()));
  lbfgsb_config->transform = std::move(*scale);
  lbfgsb_config->max_rescales = policy::kMaxRescales;
  lbfgsb_config->hessian_resolution = limits.hessian_resolution;
  return MinimizerSetup{std::move(*lbfgsb_config), std::move(*callbacks)};
}

}  // namespace

std::expected<MinimizationSummary, SPlotError> FitRunner::run(const StartPoint& from,
                                                              double nll_at_from,
                                                              bool skip_hessian) const {
  auto setup = configure_minimizer(*likelihood_, from, nll_at_from, limits_, event_unit_);
  if (!setup) return std::unexpected(std::move(setup.error()));
  setup->config.skip_hessian = skip_hessian;
  RescalingLikelihood rescaling(*likelihood_, event_unit_);
  LBFGSB minimizer;
  return minimizer.process<SPlotError>(rescaling, from.x, std::move(setup->config),
                                       std::move(setup->callbacks));
}

void add_counts(MinimizationSummary& to, const MinimizationSummary& from) {
  to.objective_evaluations += from.objective_evaluations;
  to.gradient_evaluations += from.gradient_evaluations;
  to.hessian_evaluations += from.hessian_evaluations;
}

}  // namespace tarnwex
