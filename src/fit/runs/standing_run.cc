#include "fit/runs/standing_run.h"

#include <utility>

#include "fit/runs/minimizer_run.h"

namespace tarnwex {

MinimizationSummary lower_of(MinimizationSummary first, MinimizationSummary second) {
  const bool first_converged = first.message.kind == StatusType::Success;
  const bool second_converged = second.message.kind == StatusType::Success;
  const bool second_stands = first_converged == second_converged ? second.value < first.value
                                                                 : second_converged;
  MinimizationSummary& stands = second_stands ? second : first;
  add_counts(stands, second_stands ? first : second);
  return std::move(stands);
}

}  // namespace tarnwex
