// The checks one fit's inputs pass before anything is evaluated.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "fit/event_view.h"
#include "fit/parametric_pdf.h"
#include "fit/shape_parameter.h"
#include "fit/splot_config.h"
#include "fit/splot_error.h"

namespace tarnwex {

struct ValidatedInputs {
  std::vector<double> start_yields;   // one per component, each at least 2^-52
  std::vector<double> event_weights;  // one per event
};

// Checks, in order, stopping at the first failure (always InvalidInput):
// events present, PDFs present, one consistent non-zero event dimension,
// finite coordinates, max_steps, tolerance, event weights, unique
// shape-parameter names, start yields. Only reads its inputs.
std::expected<ValidatedInputs, SPlotError> validate_inputs(
    const EventView& events, const PdfList& pdfs, std::span<const ShapeParameter> shape_parameters,
    const SPlotConfig& config);

}  // namespace tarnwex
