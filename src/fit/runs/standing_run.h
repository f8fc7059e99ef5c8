// Which of two runs of one fit stands.
#pragma once

#include "minimizer/status.h"

namespace tarnwex {

// The run that stands of two, with the counts of both: the one that
// converged when only one did (a lower value that is no minimum never hides
// a minimum), otherwise the one that ended lower (the first on a tie).
MinimizationSummary lower_of(MinimizationSummary first, MinimizationSummary second);

}  // namespace tarnwex
