// The event sums behind the likelihood's Hessian. The NLL is linear in the
// yields inside the logarithm, so its yield derivatives are exact sums over
// the events; along a shape parameter only the change of the NLL and of the
// yield sums between two points is needed, summed event by event so that
// the large NLL itself never enters a difference.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "fit/core/interrupt_check.h"
#include "fit/core/splot_error.h"
#include "minimizer/types.h"

namespace tarnwex {

// The yield derivatives at one point, with S_a = sum over the events whose
// mixture density d_e exceeds the floor of w_e f_a(e) / d_e.
struct YieldDerivatives {
  Vector gradient;                         // 1 - S_a
  Matrix curvature;                        // sum w_e f_a(e) f_b(e) / d_e^2, floored events left out
  std::vector<double> yield_sums;          // S_a
  // ln max(d_e, floor), owned: the PDFs' views do not last; empty unless asked for.
  std::vector<double> log_densities;
};

// At a point whose shape parameters moved, the yields unchanged.
struct ShapePointSums {
  double nll_change = 0.0;          // NLL here minus NLL at the reference point
  std::vector<double> yield_sums;   // S_a here
  double squared_log_change = 0.0;  // sum |w_e| (ln of the floored density ratio)^2
};

// `columns[k]` holds PDF k's values; `weights` one weight per event, or none
// for unit weights. Fails like the NLL when a mixture density is not finite.
// Both sums consult `interrupted` between blocks of events.
// With `keep_densities` the logs of the floored densities are kept (the
// shape differences compare with them).
std::expected<YieldDerivatives, SPlotError> yield_derivatives(
    std::span<const std::span<const double>> columns, std::span<const double> yields,
    std::span<const double> weights, const InterruptCheck& interrupted = {},
    bool keep_densities = true);

// One term of a per-event difference quotient along a shape parameter: each
// event's log-density change at a point, times `weight`, written into
// (`first`) or added to `score`, which then holds one value per event.
struct ScoreTap {
  std::vector<double>* score = nullptr;  // none: the point adds to no score
  double weight = 0.0;
  bool first = false;
};

// `reference_logs` are the logs of the floored mixture densities of the
// reference point (YieldDerivatives::log_densities). The per-event change of
// a log is the difference of the two logs, each as the NLL's own loop takes
// it: its rounding is a few units in the last place of ln d_e, far below the
// PDFs' own rounding that every event shares. Fails like the NLL when a
// mixture density or the change is not finite.
std::expected<ShapePointSums, SPlotError> shape_point_sums(
    std::span<const std::span<const double>> columns, std::span<const double> yields,
    std::span<const double> weights, std::span<const double> reference_logs,
    const InterruptCheck& interrupted = {}, ScoreTap tap = {});

}  // namespace tarnwex
