// The likelihood's event loop: for every event e, in order, the term
// -w_e ln(max(d_e, 1e-300)), d_e the mixture density summed in component
// order, added to a compensated event sum (fit/likelihood/event_sum.h); on request also
// the yield-derivative terms w_e f_k(e) / d_e, for the exact gradient in the
// yields, in the same pass.
//
// Where fit/batch_log/batch_log.h has chosen a vector kernel, the densities, their
// checks, floors, logs and the sums of eight events are formed together;
// the plain loop forms the same terms in the same lanes, so every kernel
// gives the same bits.
#pragma once

#include <cstddef>
#include <span>

#include "fit/batch_log/batch_log.h"
#include "fit/likelihood/event_sum.h"

namespace tarnwex {

// Checks of PDF values that the loop makes on the way, for values nobody has
// checked yet: it reads every value anyway, so the checks cost no extra pass
// over memory. The loop only notices a failure; the caller then runs the
// exact checks to find and report it.
struct DeferredChecks {
  bool column_values = false;  // column `column`'s values are finite and not negative
  std::size_t column = 0;
  bool all_zero = false;  // no event is zero in every column
};

struct LoopOutcome {
  std::size_t first_bad_mixture;  // the first event whose d_e is not finite, or n_events
  bool check_failed;              // a deferred check failed at or before that event
};

// Adds the log terms to `nll_terms` (unless it is null: then only the yield
// terms are summed, and no logarithm is taken). `columns` holds one density column per
// component (each at least n_events long) and `yields` one yield per
// component; `weights` is n_events long, or empty for unit weights (then the
// product with 1.0, which changes no bit, is left out). When `yield_terms`
// is not empty (one sum per component), w_e (f_k(e) (1 / d_e)) is added to
// yield_terms[k], with 1 / d_e taken as 0 for an event whose d_e is floored:
// the floored term does not depend on the yields. Stops at the first event whose d_e is not
// finite, leaving the sums partial.
//
// With `first` (a multiple of EventSum::kLanes) only events [first, n_events)
// are added, to sums that hold those before: a loop cut into such ranges
// gives the same bits as one loop, and its outcome is that of the range.
LoopOutcome add_log_density_terms(EventSum* nll_terms, std::span<EventSum> yield_terms,
                                  std::span<const std::span<const double>> columns,
                                  std::span<const double> yields, std::span<const double> weights,
                                  std::size_t n_events, DeferredChecks checks = {},
                                  std::size_t first = 0);

// The same through one particular kernel's loop, which must run here
// (log_kernel_runs_here); add_log_density_terms uses selected_log_kernel().
LoopOutcome add_log_density_terms_with(LogKernel kernel, EventSum* nll_terms,
                                       std::span<EventSum> yield_terms,
                                       std::span<const std::span<const double>> columns,
                                       std::span<const double> yields,
                                       std::span<const double> weights, std::size_t n_events,
                                       DeferredChecks checks = {}, std::size_t first = 0);

// The log terms taken relative to a reference point, for the final
// Hessian's shape differences (fit/likelihood/hessian_sums.h): with
// c_e = ln(max(d_e, 1e-300)) - reference_logs[e], the change of the NLL
// sums -w_e c_e and its square |w_e| c_e^2, summed per event so that the
// large NLL itself never enters a difference.
struct LogChangeTerms {
  EventSum* change;
  EventSum* squared_change;
  const double* reference_logs;  // one per event, indexed like the columns
  // When not null, one value per event: score_weight * c_e is written to it
  // (score_first) or added with a fused multiply-add.
  double* scores = nullptr;
  double score_weight = 0.0;
  bool score_first = false;
};

// The loop of add_log_density_terms with the log terms of `terms` in place
// of -w_e ln d_e, and the yield terms (one sum per component) as there. No
// deferred checks: the columns have passed theirs.
LoopOutcome add_log_change_terms(const LogChangeTerms& terms, std::span<EventSum> yield_terms,
                                 std::span<const std::span<const double>> columns,
                                 std::span<const double> yields, std::span<const double> weights,
                                 std::size_t n_events, std::size_t first = 0);
LoopOutcome add_log_change_terms_with(LogKernel kernel, const LogChangeTerms& terms,
                                      std::span<EventSum> yield_terms,
                                      std::span<const std::span<const double>> columns,
                                      std::span<const double> yields,
                                      std::span<const double> weights, std::size_t n_events,
                                      std::size_t first = 0);

// The loop of add_log_density_terms for the exact yield derivatives at one
// point: no logarithm, the yield terms w_e f_a(e) (1 / d_e) into
// yield_terms[a] as there, and w_e f_a(e) (1 / d_e) times f_b(e) (1 / d_e)
// into curvature_terms[a (a + 1) / 2 + b] for b <= a, 1 / d_e taken as 0 for
// a floored event. When `floored_out` is not null, max(d_e, 1e-300) is
// written to floored_out[e]. No deferred checks.
LoopOutcome add_yield_curvature_terms(std::span<EventSum> yield_terms,
                                      std::span<EventSum> curvature_terms,
                                      std::span<const std::span<const double>> columns,
                                      std::span<const double> yields,
                                      std::span<const double> weights, std::size_t n_events,
                                      double* floored_out = nullptr, std::size_t first = 0);
LoopOutcome add_yield_curvature_terms_with(LogKernel kernel, std::span<EventSum> yield_terms,
                                          std::span<EventSum> curvature_terms,
                                          std::span<const std::span<const double>> columns,
                                          std::span<const double> yields,
                                          std::span<const double> weights, std::size_t n_events,
                                          double* floored_out = nullptr, std::size_t first = 0);

}  // namespace tarnwex
