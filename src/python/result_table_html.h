// A result as the HTML table a notebook displays for it.
#pragma once

#include <string>

#include "python/splot_result_fields.h"

namespace tarnwex {

// The status (Success marked), minimum_nll and the evaluation counts, then
// one row per fitted parameter in the joint covariance's order (yields, then
// shape parameters by name): value and error rounded to the error's second
// significant digit, the full value on hover, the bounds, and a note where a
// parameter sits on a bound or its error is undetermined.
std::string result_table_html(const SPlotResultFields& fields);

}  // namespace tarnwex
