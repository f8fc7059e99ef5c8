// How finely the fit's convergence tests should look: the NLL's statistical
// unit under the given weights. (How finely they can look, the NLL's own
// resolution, is the minimizer's objective_resolution_ulps.)
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "fit/core/interrupt_check.h"
#include "fit/core/splot_error.h"

namespace tarnwex {

// What the fit needs to know of its event weights, from one pair of passes
// over them.
struct WeightSums {
  // sum w^2 / sum w: the factor by which the weights scale the NLL's
  // statistical units (an NLL change of 1/2 per standard deviation with unit
  // weights). 1 without weights or when the sums give no positive finite
  // ratio.
  double event_unit = 1.0;
  // sum |w|, the number of events without weights: how much of the PDFs'
  // shared rounding reaches the NLL (scales/hessian_resolution.h).
  double magnitude = 0.0;
};

// The sums over `weights` (none: `n_events` unit weights). They are formed
// on the weights divided by the largest |w|, so that none under- or
// overflows. The only error is the interrupt check's.
std::expected<WeightSums, SPlotError> weight_sums(std::span<const double> weights,
                                                  std::size_t n_events,
                                                  const InterruptCheck& interrupted = {});

// The objective-change threshold in the NLL's statistical units,
// tolerance * event_unit. The minimizer never looks finer than
// policy::kResolutionUlps ulp of |NLL| where the run is (the fit sets that
// floor as the minimizer's objective resolution).
double objective_change_threshold(double tolerance, double event_unit);

}  // namespace tarnwex
