// The generalized Cauchy point: the first minimiser of the limited-memory
// model along the steepest-descent path projected onto the box.
#pragma once

#include <optional>
#include <vector>

#include "minimizer/limited_memory_model.h"
#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

struct CauchyPoint {
  Vector x_c;                          // the Cauchy point
  Vector c;                            // W^T (x_c - x), accumulated along the path (2k)
  std::vector<Eigen::Index> free_set;  // coordinates strictly inside their bounds at x_c, ascending
  // True when no coordinate can move along the path (every coordinate sits on
  // the bound it is pushed against, or the projected gradient vanishes): the
  // Cauchy point is x itself and the direction is zero.
  bool stationary = false;
};

CauchyPoint generalized_cauchy_point(const LimitedMemoryModel& model,
                                     const std::optional<BoundList>& bounds);

}  // namespace tarnwex
