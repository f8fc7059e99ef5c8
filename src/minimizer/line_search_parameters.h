// The parameters of the strong-Wolfe line search, as a run's configuration
// holds them. The search itself is in more_thuente_line_search.h.
#pragma once

#include <cstddef>

namespace tarnwex {

// Held by value in LBFGSBConfig and copied into the running minimizer.
struct MoreThuenteLineSearch {
  double c1 = 1e-4;                      // sufficient decrease: f <= f0 + c1 * alpha * d0
  double c2 = 0.9;                       // curvature: |d| <= c2 * |d0|
  std::size_t max_iterations = 100;      // index of the last bracketing trial
  std::size_t max_zoom_iterations = 100; // index of the last bisection midpoint
};

}  // namespace tarnwex
