// The minimizer's runs that make up one fit: the run from the start, and
// the refits a poor start calls for.
#pragma once

#include <expected>

#include "fit/core/splot_error.h"
#include "fit/runs/minimizer_run.h"
#include "minimizer/status.h"

namespace tarnwex {

// The fit from the runner's start. Every run has its own bounds check,
// thresholds, scale and terminators, and all of them share the fit's step
// budget (max_steps): a refit gets what the runs before it left.
//
// A run that converged is taken as it is unless its start was poor, which
// shows in its yields:
//  1. A component with a shape of its own vanished on the way
//     (vanished_refit.h): the fit is tried again from the start with
//     those yields held at their start values while everything else moves,
//     then from there with every parameter free.
//  2. Then, when the yield of a component the shape parameters move ended
//     far from its start and some shape parameter far from its own
//     (far_yields_refit.h): the fit is tried again with yields from that
//     run's (refit_start_yields), once from the start's shape values and
//     once from that run's.
// Of all the runs the lowest converged one is the fit (one that did not
// converge only when none did, standing_run.h); its counters add up every
// run's. A refit that meets an error is given up, unless the error stops
// the whole fit (SPlotError::stops_fit). Only the run that stands gets a
// final Hessian, and the one whose errors decide rule 2 (they are the same
// run when no refit follows).
// Fits without shape parameters are convex in the yields and run once.
std::expected<MinimizationSummary, SPlotError> fit_from_start(FitRunner& runner);

}  // namespace tarnwex
