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
  // A PDF that declared its shape parameters was not asked when only
  // others moved; at the fitted point the declarations are checked before
  // anything is built on them.
  if (auto declared = runner.likelihood().check_declarations(best.position); !declared) {
    return std::unexpected(std::move(declared.error()));
  }
  if (auto added = runner.add_hessian(best); !added) return std::unexpected(added.error());
  best.initial_position = start.x;
  return best;
}

}  // namespace tarnwex
