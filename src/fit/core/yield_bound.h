// The lower bound of every yield in the fit, which the notebook table of a
// result shows too.
#pragma once

#include "minimizer/types.h"

namespace tarnwex {

// The machine epsilon: the minimizer keeps every yield at or above it and
// leaves the yields unbounded above.
inline constexpr double kYieldLowerBound = kMachineEpsilon;

}  // namespace tarnwex
