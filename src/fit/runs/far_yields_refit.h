// Start yields far from the fitted ones, and where a refit starts them.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/runs/minimizer_run.h"

namespace tarnwex {

// The components, in order, whose yield of at least one event (`unit`, the
// statistical weight of one event) ended more than policy::kFarYieldRatio times
// above or below its start. Vanished yields do not count
// (vanished_refit.h).
//
// The start yields steer the shapes' path. With a small signal and the
// default start, a peak carrying N/K events widens to cover them long
// before its yield has fallen to its size, and the fit can settle with a
// broad bump of hundreds of events where a narrow peak of a hundred
// belongs.
std::vector<std::size_t> far_start_yields(std::span<const double> fitted_yields,
                                          std::span<const double> start_yields, double unit);

// Whether every shape parameter ended within policy::kTravelledFraction of
// its fitted value from its start: a start that good needs no second fit,
// however small the errors of a large sample make that distance look.
bool shapes_near_start(std::span<const double> fitted_shapes,
                       std::span<const double> start_shapes);

// True when some shape parameter ended farther from its start than
// policy::kTravelledFraction of its value and, beyond that, farther than
// policy::kTravelledErrors of its errors or as good as undetermined: its
// error is NaN, or policy::kTravelledErrors of it span more than half its
// box (`bounds`, one (lower, upper) pair per shape parameter). Shapes that ended near their
// start, well determined, were started well: a refit from there would begin
// next to the minimum already found, at the cost of a second fit for every
// fit whose yields merely started at the default. A broad bump that took a
// narrow peak's place is poorly determined, and its start tells nothing.
bool shapes_travelled(std::span<const double> fitted_shapes, std::span<const double> start_shapes,
                      std::span<const double> errors,
                      std::span<const std::pair<double, double>> bounds);

// The yields a refit from the start's shape values begins with: the fitted
// ones, except that a yield which fell more than policy::kFarYieldRatio below its
// start begins that ratio below its fitted value; none below `lower`.
//
// A fitted yield that fell so far may still carry events its oversized
// start forced on it (the broad bump above). Started below its size, a
// component's shape stays narrow and follows the densest events while its
// yield rises with its gradient, which the scaled minimizer does in a step
// or two; started above, the shape widens again.
std::vector<double> refit_start_yields(std::span<const double> fitted_yields,
                                       std::span<const double> start_yields, double lower);

// The rule: when the yield of a component the shape parameters move ended
// far from its start in `run` (far_start_yields) and some shape parameter
// travelled from its own (shapes_travelled), the fit is tried again with the
// yields refit_start_yields gives, once from the start's shape values and
// once from those of `run` (while the fit's step budget lasts); the one
// that stands of the two, with the counts of both. Nothing when the rule
// does not apply. The errors the rule reads need `run`'s Hessian, which is
// added to it only when the cheaper tests have not settled the question.
std::expected<std::optional<MinimizationSummary>, SPlotError> refit_far_yields(
    FitRunner& runner, MinimizationSummary& run);

}  // namespace tarnwex
