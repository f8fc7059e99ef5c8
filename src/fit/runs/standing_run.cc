#include "fit/runs/standing_run.h"

#include <utility>

#include "fit/runs/minimizer_run.h"

namespace tarnwex {

MinimizationSummary lower_of(MinimizationSummary first, MinimizationSummary second) {
  const bool converged = second.message.kind == StatusType::Success ||
                         first.message.kind != StatusType::Success;
  const bool second_lower = converged && second.value < first.value;
  MinimizationSummary& lower = second_lower ? second : first;
  add_counts(lower, second_lower ? first : second);
  return std::move(lower);
}

}  // namespace tarnwex
