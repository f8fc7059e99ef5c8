#include "minimizer/bound_constrained_direction.h"

#include "minimizer/box.h"
#include "minimizer/cauchy_point.h"
#include "minimizer/subspace_minimization.h"

namespace tarnwex {

Vector bound_constrained_direction(const LimitedMemoryModel& model,
                                   const std::optional<BoundList>& bounds) {
  const CauchyPoint cauchy = generalized_cauchy_point(model, bounds);
  if (cauchy.stationary) return Vector::Zero(model.x.size());
  // The target lies in the box, but rounding in its construction can leave a
  // coordinate that sits on its bound pointing out across it, which would
  // allow no step at all along the direction.
  if (cauchy.free_set.empty()) return inward(cauchy.x_c - model.x, model.x, bounds);
  return inward(subspace_minimum(model, cauchy, bounds) - model.x, model.x, bounds);
}

}  // namespace tarnwex
