// One run of the minimizer, and what every run of one fit shares.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>

#include "fit/core/splot_error.h"
#include "fit/likelihood/joint_likelihood.h"
#include "fit/runs/start_point.h"
#include "minimizer/status.h"

namespace tarnwex {

// What every run of a fit keeps to: the convergence tolerance, in the NLL's
// statistical units, the step limit of the whole fit (every run's steps
// count against it), and the accuracy of the final Hessian
// (scales/hessian_resolution.h).
struct RunLimits {
  double tolerance;
  std::optional<std::size_t> max_steps;
  double hessian_resolution;
};

// The runs of one fit share the likelihood, the start and its box, the
// limits, the steps left of the fit's budget and the statistical weight of
// one event (scales/convergence_scale.h); each run has its own bounds
// check, thresholds, coordinate scale and terminators. A run computes no
// Hessian: only the run that stands, or one whose errors decide a refit,
// needs one (add_hessian).
class FitRunner {
 public:
  // The likelihood and the start are borrowed and must outlive the runner.
  FitRunner(JointLikelihood& likelihood, const StartPoint& start, RunLimits limits,
            double event_unit)
      : likelihood_(&likelihood),
        start_(&start),
        limits_(limits),
        steps_left_(limits.max_steps),
        event_unit_(event_unit) {}

  JointLikelihood& likelihood() const { return *likelihood_; }
  const StartPoint& start() const { return *start_; }
  double event_unit() const { return event_unit_; }

  // Whether the fit's step budget allows another run.
  bool has_steps_left() const { return !steps_left_ || *steps_left_ > 0; }

  // One run from `from`, inside its box, of at most the steps the fit's
  // budget has left, which its steps then use up.
  std::expected<MinimizationSummary, SPlotError> run(const StartPoint& from);

  // The final Hessian at the run's point, and the covariance and errors
  // taken from it (minimizer/hessian_covariance.h), added to the run with
  // its count; nothing to do when the run has them already.
  std::expected<void, SPlotError> add_hessian(MinimizationSummary& run) const;

 private:
  JointLikelihood* likelihood_;
  const StartPoint* start_;
  RunLimits limits_;
  std::optional<std::size_t> steps_left_;  // none: no limit
  double event_unit_;
};

// Adds the evaluation and step counts of `from` to `to`: a fit reports the
// work of all its runs.
void add_counts(MinimizationSummary& to, const MinimizationSummary& from);

}  // namespace tarnwex
