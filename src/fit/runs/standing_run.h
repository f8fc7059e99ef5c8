// Which of two runs of one fit stands.
#pragma once

#include "minimizer/status.h"

namespace tarnwex {

// The run that ended lower, with the counts of both. A refit that did not
// converge never replaces a run that did: its lower value is no minimum.
MinimizationSummary lower_of(MinimizationSummary first, MinimizationSummary second);

}  // namespace tarnwex
