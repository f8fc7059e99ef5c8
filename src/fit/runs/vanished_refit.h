// Components whose yield ran to nothing on the way to the minimum.
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

// A yield below a millionth of one event (`unit`, the statistical weight of
// one event) has vanished: the NLL then hardly depends on that component's
// shape parameters, so their gradient is gone and nothing in the fit can
// bring the component back. That is where a poor start can end: a narrow
// peak started off its events loses its yield in the first steps, long
// before its mean and width could have found them, and the fit reports a
// minimum with the peak's events explained by the other components.
//
// The indices, in component order, of the vanished components that started
// with more than one event: a component started at nothing was meant to be
// absent.
std::vector<std::size_t> vanished_components(std::span<const double> fitted_yields,
                                             std::span<const double> start_yields, double unit);

// The box of a refit from the start in which the vanished yields are held at
// their start values, so that their shapes move to their events before the
// yields may fall. The minimizer's boxes have positive width: a held yield
// y keeps to [y (1 - 2^-20), y], where it changes the NLL by less than its
// statistical resolution allows to matter.
std::vector<std::pair<double, double>> hold_yields(std::vector<std::pair<double, double>> bounds,
                                                   std::span<const double> start_yields,
                                                   std::span<const std::size_t> held);

// The rule: when a component the shape parameters move (shaped_components.h)
// vanished in `run`, the fit is tried again from the start with those yields
// held at their start values while everything else moves, then from there
// with every parameter free; that run, with the counts of both. When the
// step budget ends with the yields still held, the held run comes back as a
// step-limit message (it is no fit of the free problem). Nothing when no
// such component vanished.
std::expected<std::optional<MinimizationSummary>, SPlotError> refit_vanished(
    FitRunner& runner, const MinimizationSummary& run);

}  // namespace tarnwex
