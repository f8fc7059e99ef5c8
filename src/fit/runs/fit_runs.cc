#include "fit/runs/fit_runs.h"

#include <utility>

#include "fit/runs/far_yields_refit.h"
#include "fit/runs/standing_run.h"
#include "fit/runs/vanished_refit.h"

namespace tarnwex {

std::expected<MinimizationSummary, SPlotError> fit_from_start(const FitRunner& runner,
                                                              double nll_at_start) {
  const StartPoint& start = runner.start();
  auto run = runner.run(start, nll_at_start, false);
  if (!run || run->message.kind != StatusType::Success ||
      runner.likelihood().split(start.x).shape_values.empty()) {
    return run;
  }
  auto vanished = refit_vanished(runner, nll_at_start, *run);
  if (!vanished) return std::unexpected(std::move(vanished.error()));
  MinimizationSummary best =
      *vanished ? lower_of(std::move(*run), std::move(**vanished)) : std::move(*run);
  if (best.message.kind == StatusType::Success) {
    auto far = refit_far_yields(runner, best);
    if (!far) return std::unexpected(std::move(far.error()));
    if (*far) best = lower_of(std::move(best), std::move(**far));
  }
  best.initial_position = start.x;
  return best;
}

}  // namespace tarnwex
