#include "fit/runs/vanished_refit.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "fit/core/fit_policy.h"
#include "fit/runs/shaped_components.h"

namespace tarnwex {

std::vector<std::size_t> vanished_components(std::span<const double> fitted_yields,
                                             std::span<const double> start_yields, double unit) {
  std::vector<std::size_t> vanished;
  for (std::size_t k = 0; k < fitted_yields.size(); ++k) {
    if (fitted_yields[k] < policy::kVanishedFractionOfOneEvent * unit && start_yields[k] > unit) {
      vanished.push_back(k);
    }
  }
  return vanished;
}

std::vector<std::pair<double, double>> hold_yields(std::vector<std::pair<double, double>> bounds,
                                                   std::span<const double> start_yields,
                                                   std::span<const std::size_t> held) {
  for (const std::size_t k : held) {
    const double y = start_yields[k];
    bounds[k] = {y - std::ldexp(y, policy::kHeldWidthExponent), y};
  }
  return bounds;
}

std::expected<std::optional<MinimizationSummary>, SPlotError> refit_vanished(
    FitRunner& runner, const MinimizationSummary& run) {
  JointLikelihood& likelihood = runner.likelihood();
  const StartPoint& start = runner.start();
  const double unit = runner.event_unit();
  const auto fitted = likelihood.split(run.position);
  const auto started = likelihood.split(start.x);
  auto vanished = vanished_components(fitted.yields, started.yields, unit);
  if (vanished.empty()) return std::nullopt;
  auto shaped = shaped_by_parameters(likelihood, started.shape_values, fitted.shape_values,
                                     std::move(vanished));
  if (!shaped) return std::unexpected(std::move(shaped.error()));
  if (shaped->empty()) return std::nullopt;

  const StartPoint held{start.x, hold_yields(start.bounds, started.yields, *shaped)};
  auto holding = runner.run(held);
  if (!holding) return std::unexpected(std::move(holding.error()));
  if (!runner.has_steps_left()) {
    // The budget ends with the yields still held: that run is no fit of the
    // free problem and never stands against a converged one; it is passed
    // on only for the work it counts.
    holding->message.reset();
    holding->message.kind = StatusType::Message;
    return std::optional<MinimizationSummary>(std::move(*holding));
  }
  const StartPoint released{holding->position, start.bounds};
  auto refit = runner.run(released);
  if (!refit) return std::unexpected(std::move(refit.error()));
  add_counts(*refit, *holding);
  return std::optional<MinimizationSummary>(std::move(*refit));
}

}  // namespace tarnwex
