// Which components the shape parameters move: both refit rules ask it
// before they spend a refit on a component.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/likelihood/joint_likelihood.h"

namespace tarnwex {

// Of the `candidates`, those whose density at `fitted_shapes` differs from
// the one at `start_shapes` in some event: the others do not move with the
// shape parameters, and a refit could bring them back no other way than the
// fit already tried. One PDF evaluation at each point.
std::expected<std::vector<std::size_t>, SPlotError> shaped_by_parameters(
    JointLikelihood& likelihood, std::span<const double> start_shapes,
    std::span<const double> fitted_shapes, std::vector<std::size_t> candidates);

}  // namespace tarnwex
