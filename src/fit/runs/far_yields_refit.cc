#include "fit/runs/far_yields_refit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

#include "fit/core/fit_policy.h"
#include "fit/runs/shaped_components.h"
#include "fit/runs/standing_run.h"

namespace tarnwex {

namespace {

bool fell_far(double fitted, double start) { return policy::kFarYieldRatio * fitted < start; }

// Within policy::kTravelledFraction of its fitted value from its start; a
// NaN is never near.
bool near_start(double fitted, double start) {
  return std::abs(fitted - start) <= policy::kTravelledFraction * std::abs(fitted);
}

}  // namespace

std::vector<std::size_t> far_start_yields(std::span<const double> fitted_yields,
                                          std::span<const double> start_yields, double unit) {
  std::vector<std::size_t> far;
  for (std::size_t k = 0; k < fitted_yields.size(); ++k) {
    const double fitted = fitted_yields[k];
    const double start = start_yields[k];
    if (fitted >= unit && (fitted > policy::kFarYieldRatio * start || fell_far(fitted, start))) {
      far.push_back(k);
    }
  }
  return far;
}

bool shapes_near_start(std::span<const double> fitted_shapes,
                       std::span<const double> start_shapes) {
  for (std::size_t i = 0; i < fitted_shapes.size(); ++i) {
    if (!near_start(fitted_shapes[i], start_shapes[i])) return false;
  }
  return true;
}

bool shapes_travelled(std::span<const double> fitted_shapes, std::span<const double> start_shapes,
                      std::span<const double> errors,
                      std::span<const std::pair<double, double>> bounds) {
  for (std::size_t i = 0; i < fitted_shapes.size(); ++i) {
    if (near_start(fitted_shapes[i], start_shapes[i])) continue;
    const double moved = std::abs(fitted_shapes[i] - start_shapes[i]);
    const double reach = policy::kTravelledErrors * errors[i];
    const double half_box = 0.5 * (bounds[i].second - bounds[i].first);
    // Negated, so that a NaN error counts as travelled.
    if (!(moved <= reach && reach <= half_box)) return true;
  }
  return false;
}

std::vector<double> refit_start_yields(std::span<const double> fitted_yields,
                                       std::span<const double> start_yields, double lower) {
  std::vector<double> yields(fitted_yields.begin(), fitted_yields.end());
  for (std::size_t k = 0; k < yields.size(); ++k) {
    if (fell_far(yields[k], start_yields[k])) yields[k] /= policy::kFarYieldRatio;
    yields[k] = std::max(yields[k], lower);
  }
  return yields;
}

std::expected<std::optional<MinimizationSummary>, SPlotError> refit_far_yields(
    FitRunner& runner, MinimizationSummary& run) {
  JointLikelihood& likelihood = runner.likelihood();
  const StartPoint& start = runner.start();
  const double unit = runner.event_unit();
  const auto fitted = likelihood.split(run.position);
  const auto started = likelihood.split(start.x);
  auto far = far_start_yields(fitted.yields, started.yields, unit);
  if (far.empty() || shapes_near_start(fitted.shape_values, started.shape_values)) {
    return std::nullopt;
  }
  if (auto added = runner.add_hessian(run); !added) return std::unexpected(added.error());
  const Vector& errors = run.errors;
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
  for (const Vector* shapes_from : {&start.x, static_cast<const Vector*>(&run.position)}) {
    if (!runner.has_steps_left()) break;
    StartPoint again{*shapes_from, start.bounds};
    std::copy(yields.begin(), yields.end(), again.x.begin());
    // Like the start itself, a new start is checked before any run.
    if (auto nll = likelihood.evaluate(again.x); !nll) return std::unexpected(std::move(nll.error()));
    auto refit = runner.run(again);
    if (!refit) return std::unexpected(std::move(refit.error()));
    lowest = lowest ? lower_of(std::move(*lowest), std::move(*refit)) : std::move(*refit);
  }
  return lowest;
}

}  // namespace tarnwex
