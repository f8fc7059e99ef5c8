// Minimisation of the limited-memory model over the coordinates that are free
// at the Cauchy point, pulled back into the box.
#pragma once

#include <optional>

#include "minimizer/cauchy_point.h"
#include "minimizer/limited_memory_model.h"
#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

// The point x_bar: the Cauchy point moved along the model's Newton step on the
// free coordinates, shortened so that it stays inside the box. Requires a
// non-empty free set.
Vector subspace_minimum(const LimitedMemoryModel& model, const CauchyPoint& cauchy,
                        const std::optional<BoundList>& bounds);

}  // namespace tarnwex
