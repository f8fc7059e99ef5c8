// Finite differences along the shape parameters for the likelihood's
// Hessian, with a step per parameter of about a tenth of its own error.
//
// A fixed relative step cannot serve every parameter: a peak position known
// to 1e-5 and a slope known to 1 need steps five orders apart, and neither
// depends on the units the parameter is written in. So each parameter's step
// comes from its own curvature: a first guess from one probe at the
// gradient's step (the summed squares of the per-event log changes, an
// estimate of the curvature that rounding cannot make negative) or, when
// the caller already knows the NLL at the gradient's step on both sides,
// its second difference without a new point; then
// h = 0.1 sqrt(event_unit / curvature) from the second difference, at most
// the parameter's scale along the run, refined once more when that moves
// the step by more than a quarter. Central differences are taken at h and
// 2h and extrapolated. Next to a bound the differences are one-sided, a
// tenth as long, on three points formed inside the box. The cross terms
// reuse the points along the axes.
#pragma once

#include <expected>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/likelihood/hessian_sums.h"
#include "minimizer/types.h"

namespace tarnwex {

// The sums at the given shape values, relative to the fitted point; `tap`
// says what the point adds to a per-event score.
using ShapePointFunction =
    std::function<std::expected<ShapePointSums, SPlotError>(std::span<const double>, ScoreTap)>;

// The steps the likelihood takes along each shape parameter.
struct ShapeSteps {
  std::span<const double> scales;    // the parameter's scale (its error as far as known)
  std::span<const double> gradient;  // the gradient's step
  double event_unit = 1.0;           // the NLL's statistical unit
  double noise = 0.0;                // how much of the NLL is rounding
};

struct ShapeDerivatives {
  Vector gradient;    // P: d NLL / d t_j
  Matrix yield_shape; // K x P: d^2 NLL / d y_a d t_j = -d S_a / d t_j
  Matrix shape_shape; // P x P, exactly symmetric
};

// `bounds` holds one (lower, upper) pair per shape parameter (infinite sides
// unbounded); `reference_yield_sums` are the S_a at the fitted point. The
// first error of `sums_at` ends the operation. `known_curvature`, when not
// empty, holds per parameter the NLL's second difference at the gradient's
// step (NaN where unknown); a positive one replaces that parameter's probe.
// `scores`, when not empty, gets one vector per shape parameter: each event's
// derivative of its log-density along it, from the same points and stencil
// as the gradient.
std::expected<ShapeDerivatives, SPlotError> shape_derivatives(
    std::span<const double> shape_values, std::span<const std::pair<double, double>> bounds,
    const ShapeSteps& steps, std::span<const double> reference_yield_sums,
    const ShapePointFunction& sums_at,
    std::span<const double> known_curvature = {},
    std::span<std::vector<double>> scores = {});

}  // namespace tarnwex
