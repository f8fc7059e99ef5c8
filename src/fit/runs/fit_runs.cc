#include "fit/runs/fit_runs.h"

#include <optional>
#include <utility>

#include "fit/runs/far_yields_refit.h"
#include "fit/runs/standing_run.h"
#include "fit/runs/vanished_refit.h"

namespace tarnwex {

namespace {

// The run that stands after an optional refit. A refit is a second look, not
// a part of the fit the result depends on: an error inside it (a PDF that
// raises at its points, a numerical failure) gives it up, and `best` stands
// as it was. Only an error that stops the whole fit (an interrupt) ends it.
std::expected<MinimizationSummary, SPlotError> after_refit(
    MinimizationSummary best,
    std::expected<std::optional<MinimizationSummary>, SPlotError> refit) {
  if (!refit) {
    if (refit.error().stops_fit()) return std::unexpected(std::move(refit.error()));
    return best;
  }
  if (!*refit) return best;
  return lower_of(std::move(best), std::move(**refit));
}

// The fit reuses a PDF's last column at shape points that differ from its
// own only in parameters the PDF was seen to ignore. When that does not hold
// at the fitted point, the fit runs again from there with every PDF asked
// at every point (the likelihood has switched reuse off); its counts include
// the first run's.
std::expected<MinimizationSummary, SPlotError> checked_for_reuse(FitRunner& runner,
                                                                 MinimizationSummary run) {
  JointLikelihood& likelihood = runner.likelihood();
  const auto hold = likelihood.reused_columns_hold(run.position);
  if (!hold) return std::unexpected(hold.error());
  if (*hold) return run;
  const StartPoint from{run.position, runner.start().bounds};
  if (auto nll = likelihood.evaluate(from.x); !nll) return std::unexpected(nll.error());
  auto again = runner.run(from);
  if (!again) return again;
  add_counts(*again, run);
  return again;
}

}  // namespace

std::expected<MinimizationSummary, SPlotError> fit_from_start(FitRunner& runner) {
  const StartPoint& start = runner.start();
  auto run = runner.run(start);
  if (!run) return run;
  MinimizationSummary best = std::move(*run);
  const bool shaped = !runner.likelihood().split(start.x).shape_values.empty();
  if (shaped && best.message.kind == StatusType::Success && runner.has_steps_left()) {
    auto refit = refit_vanished(runner, best);
    auto vanished = after_refit(std::move(best), std::move(refit));
    if (!vanished) return vanished;
    best = std::move(*vanished);
    if (best.message.kind == StatusType::Success && runner.has_steps_left()) {
      auto far = refit_far_yields(runner, best);
      auto after = after_refit(std::move(best), std::move(far));
      if (!after) return after;
      best = std::move(*after);
    }
  }
  auto checked = checked_for_reuse(runner, std::move(best));
  if (!checked) return checked;
  best = std::move(*checked);
  if (auto added = runner.add_hessian(best); !added) return std::unexpected(added.error());
  best.initial_position = start.x;
  return best;
}

}  // namespace tarnwex
