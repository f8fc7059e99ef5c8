// One complete fit: validation, the joint fit, the sPlot covariance and the sWeights.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fit/core/interrupt_check.h"
#include "fit/core/row_matrix.h"
#include "fit/core/splot_error.h"
#include "fit/inputs/event_view.h"
#include "fit/inputs/parameter_map.h"
#include "fit/inputs/parametric_pdf.h"
#include "fit/inputs/shape_parameter.h"
#include "fit/inputs/splot_config.h"
// The counting build's counters of the likelihood's passes, which the
// Python layer reports to the benchmarks.
#include "fit/likelihood/pass_counter.h"

namespace tarnwex {

struct SPlotOutput {
  std::vector<double> yields;        // K fitted yields
  std::vector<double> yield_errors;  // K errors from the fit covariance
  RowMatrix covariance;              // K x K sPlot covariance
  RowMatrix sweights;                // n_events x K
  RowMatrix fit_covariance;          // (K + P) x (K + P)
  std::string message;               // display text of the final status
  ParameterMap shape_parameters;
  ParameterMap shape_errors;
  double minimum_nll = 0.0;
  std::size_t objective_evaluations = 0;
  std::size_t gradient_evaluations = 0;
  std::size_t hessian_evaluations = 0;
  bool success = false;
};

// `interrupted` is consulted once per likelihood evaluation; an error it
// returns ends the fit with that error.
std::expected<SPlotOutput, SPlotError> splot(const EventView& events, const PdfList& pdfs,
                                             std::span<const ShapeParameter> shape_parameters,
                                             SPlotConfig config,
                                             const InterruptCheck& interrupted = {});

}  // namespace tarnwex
