// The search direction of one L-BFGS-B step: from the current point to the
// subspace minimum of the limited-memory model inside the box.
#pragma once

#include <optional>

#include "minimizer/limited_memory_model.h"
#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

// x_bar - x, where x_bar is the subspace minimum started from the generalized
// Cauchy point (or the Cauchy point itself when no coordinate is free there),
// with no component pointing out of the box from a coordinate on its bound.
// Evaluates nothing and never fails.
Vector bound_constrained_direction(const LimitedMemoryModel& model,
                                   const std::optional<BoundList>& bounds);

}  // namespace tarnwex
