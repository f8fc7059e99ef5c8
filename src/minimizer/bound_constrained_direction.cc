#include "minimizer/bound_constrained_direction.h"

#include "minimizer/cauchy_point.h"
#include "minimizer/subspace_minimization.h"

namespace tarnwex {

Vector bound_constrained_direction(const LimitedMemoryModel& model,
                                   const std::optional<BoundList>& bounds) {
  const CauchyPoint cauchy = generalized_cauchy_point(model, bounds);
  if (cauchy.stationary) return Vector::Zero(model.x.size());
  if (cauchy.free_set.empty()) return cauchy.x_c - model.x;
  return subspace_minimum(model, cauchy, bounds) - model.x;
}

}  // namespace tarnwex
