// The checks one fit's inputs pass before anything is evaluated.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/inputs/event_view.h"
#include "fit/inputs/parametric_pdf.h"
#include "fit/inputs/shape_parameter.h"
#include "fit/inputs/splot_config.h"

namespace tarnwex {

struct ValidatedInputs {
  std::vector<double> start_yields;   // one per component, each at least 2^-52
  // One per event, viewing the configuration's own (no copy: the weights can
  // be as long as the data), or empty when none were given or every one is
  // exactly 1: every weight is then 1, and the fit reads 1.0 instead of
  // keeping a vector of ones. (A product with 1.0 is exact, so both give the
  // same bits.) This is the one place that decides whether a fit is weighted.
  std::span<const double> event_weights;

  // Whether the fit is weighted: its errors are then the sandwich
  // covariance's (uncertainties/weighted_covariance.h).
  bool weighted() const { return !event_weights.empty(); }
};

// The range the sum of the weights' magnitudes must lie in (0 aside): at
// least a million times the yields' lower bound 2^-52, at most 1e100.
inline constexpr double kSmallestWeightTotal = 1e6 * 2.220446049250313e-16;
inline constexpr double kLargestWeightTotal = 1e100;

// Checks, in order, stopping at the first failure (always InvalidInput):
// events present, PDFs present, one consistent non-zero event dimension,
// finite coordinates, max_steps, tolerance, event weights (length, finite,
// their total in range), unique
// shape-parameter names, start yields. Only reads its inputs; the result
// views `config`'s weights and must not outlive it.
std::expected<ValidatedInputs, SPlotError> validate_inputs(
    const EventView& events, const PdfList& pdfs, std::span<const ShapeParameter> shape_parameters,
    const SPlotConfig& config);

}  // namespace tarnwex
