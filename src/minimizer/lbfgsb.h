// The L-BFGS-B driver: its running state and one complete run.
#pragma once

#include <deque>
#include <expected>
#include <limits>
#include <optional>

#include "minimizer/callbacks.h"
#include "minimizer/lbfgsb_config.h"
#include "minimizer/problem.h"
#include "minimizer/status.h"
#include "minimizer/types.h"

namespace tarnwex {

// Running state of one minimization; `process` re-initialises every field.
class LBFGSB {
 public:
  MoreThuenteLineSearch line_search;
  Vector x;                        // current point, inside the box
  Vector g;                        // gradient adopted for x
  std::deque<Vector> s_history;    // point differences, oldest first
  std::deque<Vector> y_history;    // gradient differences, oldest first
  Matrix w_matrix;                 // [Y, theta * S], n by 2k
  std::optional<Matrix> middle_matrix;  // [[-D, L^T], [L, theta * S^T S]], absent when k = 0
  double f = std::numeric_limits<double>::infinity();
  double f_previous = std::numeric_limits<double>::infinity();
  double theta = 1.0;
  // The step just taken had its line search fail while the memory held pairs:
  // it ended by emptying the memory, not by converging, so the objective-change
  // test does not read its unchanged f as convergence.
  bool memory_reset_by_failed_search = false;

  // Runs one minimization from `start`. Returns the summary of every normal
  // end (converged, step limit, non-finite objective) or the problem's error.
  template <class E>
  std::expected<MinimizationSummary, E> process(const ScalarGradient<E>& problem, Vector start,
                                                LBFGSBConfig config, Callbacks callbacks);
};

// The vector projected onto the box; unchanged without bounds.
Vector clip(const Vector& v, const std::optional<BoundList>& bounds);

// The summary of a finished run, its bounds in the caller's coordinates.
MinimizationSummary summarize(const GradientStatus& status, const Vector& start,
                              const LBFGSBConfig& config);

}  // namespace tarnwex

#include "minimizer/lbfgsb_process.h"
