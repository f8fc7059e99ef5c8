// Strong-Wolfe line search by bracketing, then bisection of the bracket.
#pragma once

#include <cstddef>

#include "minimizer/types.h"

namespace tarnwex {

// Parameters of the line search, held by value in LBFGSBConfig.
struct MoreThuenteLineSearch {
  double c1 = 1e-4;                      // sufficient decrease: f <= f0 + c1 * alpha * d0
  double c2 = 0.9;                       // curvature: |d| <= c2 * |d0|
  std::size_t max_iterations = 100;      // index of the last bracketing trial
  std::size_t max_zoom_iterations = 100; // index of the last bisection midpoint
};

struct LineSearchOutput {
  bool failed = false;
  Vector gradient;
  double step_length = 0.0;
  double value = 0.0;
};

}  // namespace tarnwex
