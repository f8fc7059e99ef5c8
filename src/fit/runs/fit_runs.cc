#include "fit/minimizer_runs.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "fit/convergence_scale.h"
#include "fit/coordinate_scale.h"
#include "fit/far_start_yields.h"
#include "fit/undetermined_parameters.h"
#include "fit/vanished_components.h"
#include "minimizer/callbacks.h"
#include "minimizer/lbfgsb.h"
#include "minimizer/lbfgsb_config.h"
#include "minimizer/terminators.h"
#include "minimizer/types.h"

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
// and its terminators, for a fit starting at `start` with the NLL
// `nll_at_start`; `unit` is the weights' statistical scale (weight_scale).
struct MinimizerSetup {
  LBFGSBConfig config;
  Callbacks callbacks;
};

std::expected<MinimizerSetup, SPlotError> configure_minimizer(JointLikelihood& likelihood,
                                                              const StartPoint& start,
                                                              double nll_at_start,
                                                              const SPlotConfig& config,
                                                              double unit) {
  auto lbfgsb_config = with_bounds(LBFGSBConfig{}, start.bounds);
  if (!lbfgsb_config) return std::unexpected(SPlotError::minimizer(std::move(lbfgsb_config.error())));
  // The tests measure the NLL in its statistical units, whatever the
  // weights' scale; the objective-change test never looks finer than the
  // NLL resolves, nor does a failed line search count a smaller decrease.
  const double objective_threshold = objective_change_threshold(config.tolerance, unit, nll_at_start);
  lbfgsb_config->objective_resolution = objective_threshold;
  // Gradients in the minimizer's scaled coordinates grow as the square root
  // of the weights' scale.
  auto callbacks =
      build_callbacks(objective_threshold, config.tolerance * std::sqrt(unit), config.max_steps);
  if (!callbacks) return std::unexpected(std::move(callbacks.error()));
  auto scale = coordinate_scale(likelihood, start.x, unit);
  if (!scale) return std::unexpected(std::move(scale.error()));
  lbfgsb_config->transform = std::move(*scale);
  return MinimizerSetup{std::move(*lbfgsb_config), std::move(*callbacks)};
}

// One run of the minimizer from `start`, inside its box.
std::expected<MinimizationSummary, SPlotError> minimize(JointLikelihood& likelihood,
                                                        const StartPoint& start,
                                                        double nll_at_start,
                                                        const SPlotConfig& config, double unit,
                                                        bool skip_hessian) {
  auto setup = configure_minimizer(likelihood, start, nll_at_start, config, unit);
  if (!setup) return std::unexpected(std::move(setup.error()));
  setup->config.skip_hessian = skip_hessian;
  ScaledLikelihood scaled(likelihood, unit);
  LBFGSB minimizer;
  return minimizer.process<SPlotError>(scaled, start.x, std::move(setup->config),
                                       std::move(setup->callbacks));
}

void add_counts(MinimizationSummary& to, const MinimizationSummary& from) {
  to.objective_evaluations += from.objective_evaluations;
  to.gradient_evaluations += from.gradient_evaluations;
  to.hessian_evaluations += from.hessian_evaluations;
}

// The run that ended lower, with the counts of both. A refit that did not
// converge never replaces a run that did: its lower value is no minimum.
MinimizationSummary lower_of(MinimizationSummary first, MinimizationSummary second) {
  const bool converged = second.message.kind == StatusType::Success ||
                         first.message.kind != StatusType::Success;
  const bool second_lower = converged && second.value < first.value;
  MinimizationSummary& lower = second_lower ? second : first;
  add_counts(lower, second_lower ? first : second);
  return std::move(lower);
}

// Rule 1 of fit_from_start: nothing when no shaped component vanished in `run`.
std::expected<std::optional<MinimizationSummary>, SPlotError> refit_vanished(
    JointLikelihood& likelihood, const StartPoint& start, double nll_at_start,
    const SPlotConfig& config, double unit, const MinimizationSummary& run) {
  const auto fitted = likelihood.split(run.position);
  const auto started = likelihood.split(start.x);
  auto vanished = vanished_components(fitted.yields, started.yields, unit);
  if (vanished.empty()) return std::nullopt;
  auto shaped = shaped_by_parameters(likelihood, started.shape_values, fitted.shape_values,
                                     std::move(vanished));
  if (!shaped) return std::unexpected(std::move(shaped.error()));
  if (shaped->empty()) return std::nullopt;

  const StartPoint held{start.x, hold_yields(start.bounds, started.yields, *shaped), {}};
  auto holding = minimize(likelihood, held, nll_at_start, config, unit, true);
  if (!holding) return std::unexpected(std::move(holding.error()));
  const StartPoint released{holding->position, start.bounds, {}};
  auto refit = minimize(likelihood, released, holding->value, config, unit, false);
  if (!refit) return std::unexpected(std::move(refit.error()));
  add_counts(*refit, *holding);
  return std::optional<MinimizationSummary>(std::move(*refit));
}

// Rule 2 of fit_from_start: nothing when the yields or the shapes of `run`
// ended near their start, or when no far yield belongs to a component the
// shape parameters move.
std::expected<std::optional<MinimizationSummary>, SPlotError> refit_far_yields(
    JointLikelihood& likelihood, const StartPoint& start, const SPlotConfig& config, double unit,
    const MinimizationSummary& run) {
  const auto fitted = likelihood.split(run.position);
  const auto started = likelihood.split(start.x);
  auto far = far_start_yields(fitted.yields, started.yields, unit);
  if (far.empty()) return std::nullopt;
  const Vector errors = determined_errors(run);
  if (!shapes_travelled(fitted.shape_values, started.shape_values,
                        likelihood.split(errors).shape_values,
                        std::span(start.bounds).subspan(likelihood.n_components()))) {
    return std::nullopt;
  }
  auto shaped = shaped_by_parameters(likelihood, started.shape_values, fitted.shape_values,
                                     std::move(far));
  if (!shaped) return std::unexpected(std::move(shaped.error()));
  if (shaped->empty()) return std::nullopt;
  const auto yields =
      refit_start_yields(fitted.yields, started.yields, start.bounds.front().first);
  // Two starts with those yields: the start's shapes, from where the path
  // now carries yields of the data's size, and the fitted shapes, from where
  // a broad bump carrying fewer events narrows to the densest excess under it.
  std::optional<MinimizationSummary> lowest;
  for (const Vector* shapes_from : {&start.x, &run.position}) {
    StartPoint again{*shapes_from, start.bounds, {}};
    std::copy(yields.begin(), yields.end(), again.x.begin());
    // Like the start itself, a new start is checked before any run.
    auto nll = likelihood.evaluate(again.x);
    if (!nll) return std::unexpected(std::move(nll.error()));
    auto refit = minimize(likelihood, again, *nll, config, unit, false);
    if (!refit) return std::unexpected(std::move(refit.error()));
    lowest = lowest ? lower_of(std::move(*lowest), std::move(*refit)) : std::move(*refit);
  }
  return lowest;
}

}  // namespace

std::expected<MinimizationSummary, SPlotError> fit_from_start(JointLikelihood& likelihood,
                                                              const StartPoint& start,
                                                              double nll_at_start,
                                                              const SPlotConfig& config,
                                                              std::span<const double> event_weights) {
  const auto weights_unit = weight_scale(event_weights, likelihood.interrupt_check());
  if (!weights_unit) return std::unexpected(weights_unit.error());
  const double unit = *weights_unit;
  auto run = minimize(likelihood, start, nll_at_start, config, unit, false);
  if (!run || run->message.kind != StatusType::Success ||
      likelihood.split(start.x).shape_values.empty()) {
    return run;
  }
  auto vanished = refit_vanished(likelihood, start, nll_at_start, config, unit, *run);
  if (!vanished) return std::unexpected(std::move(vanished.error()));
  MinimizationSummary best =
      *vanished ? lower_of(std::move(*run), std::move(**vanished)) : std::move(*run);
  if (best.message.kind == StatusType::Success) {
    auto far = refit_far_yields(likelihood, start, config, unit, best);
    if (!far) return std::unexpected(std::move(far.error()));
    if (*far) best = lower_of(std::move(best), std::move(**far));
  }
  best.initial_position = start.x;
  return best;
}

}  // namespace tarnwex
