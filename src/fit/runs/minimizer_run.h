// One run of the minimizer, and what every run of one fit shares.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>

#include "fit/inputs/splot_error.h"
#include "fit/likelihood/joint_likelihood.h"
#include "fit/runs/start_point.h"
#include "minimizer/status.h"

namespace tarnwex {

// What every run of a fit keeps to: the convergence tolerance, in the NLL's
// statistical units, the step limit of each run, and the accuracy of the
// final Hessian (scales/hessian_resolution.h).
struct RunLimits {
  double tolerance;
  std::optional<std::size_t> max_steps;
  double hessian_resolution;
};

// The runs of one fit share the likelihood, the start and its box, the
// limits and the statistical weight of one event (scales/convergence_scale.h);
// each run has its own bounds check, thresholds, coordinate scale and
// terminators.
class FitRunner {
 public:
  // The likelihood and the start are borrowed and must outlive the runner.
  FitRunner(JointLikelihood& likelihood, const StartPoint& start, RunLimits limits,
            double event_unit)
      : likelihood_(&likelihood), start_(&start), limits_(limits), event_unit_(event_unit) {}

  JointLikelihood& likelihood() const { return *likelihood_; }
  const StartPoint& start() const { return *start_; }
  double event_unit() const { return event_unit_; }

  // One run from `from`, inside its box, where the NLL is `nll_at_from`.
  std::expected<MinimizationSummary, SPlotError> run(const StartPoint& from, double nll_at_from,
                                                     bool skip_hessian) const;

 private:
  JointLikelihood* likelihood_;
  const StartPoint* start_;
  RunLimits limits_;
  double event_unit_;
};

// Adds the evaluation counts of `from` to `to`: a fit reports the work of all its runs.
void add_counts(MinimizationSummary& to, const MinimizationSummary& from);

}  // namespace tarnwex
