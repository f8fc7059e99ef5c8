// The likelihood's event loop: sum over events e, in order, of
// w_e ln(max(d_e, 1e-300)), d_e the mixture density summed in component
// order, subtracted term by term from a running value.
//
// Every term and every partial sum is the one the plain event-by-event loop
// forms with std::log; the sum must be sequential, so a pass costs at least
// one dependent subtraction per event. Where fit/batch_log.h has chosen a
// vector kernel, the densities, their checks, floors and logs of the next
// events are computed eight or four at a time while that chain runs.
#pragma once

#include <cstddef>
#include <span>

#include "fit/batch_log.h"

namespace tarnwex {

// Checks of PDF values that the loop makes on the way, for values nobody has
// checked yet: it reads every value anyway, so the checks cost no extra pass
// over memory. The loop only notices a failure; the caller then runs the
// exact checks to find and report it.
struct DeferredChecks {
  bool last_column = false;  // the last column's values are finite and not negative
  bool all_zero = false;     // no event is zero in every column
};

struct LoopOutcome {
  std::size_t first_bad_mixture;  // the first event whose d_e is not finite, or n_events
  bool check_failed;              // a deferred check failed at or before that event
};

// Subtracts the terms from `nll`. `columns` holds one density column per
// component (each at least n_events long) and `yields` one yield per
// component; `weights` is n_events long, or empty for unit weights (then the
// product with 1.0, which changes no bit, is left out). Stops at the first
// event whose d_e is not finite, leaving `nll` as it was.
LoopOutcome subtract_log_densities(double& nll, std::span<const std::span<const double>> columns,
                                   std::span<const double> yields, std::span<const double> weights,
                                   std::size_t n_events, DeferredChecks checks = {});

// The same through one particular kernel's loop, which must run here
// (log_kernel_runs_here); subtract_log_densities uses selected_log_kernel().
LoopOutcome subtract_log_densities_with(LogKernel kernel, double& nll,
                                        std::span<const std::span<const double>> columns,
                                        std::span<const double> yields,
                                        std::span<const double> weights,
                                        std::size_t n_events, DeferredChecks checks = {});

}  // namespace tarnwex
