// The errors that the likelihood's checks raise, each text written once.
#pragma once

#include <cstddef>
#include <string>

#include "fit/core/splot_error.h"

namespace tarnwex {

// "PDF {pdf} returned {length} values, expected {expected}"; the Python
// layer raises the same text for a PDF's first output.
std::string wrong_length_text(std::size_t pdf, std::size_t length, std::size_t expected);

SPlotError wrong_length(std::size_t pdf, std::size_t length, std::size_t expected);
SPlotError invalid_pdf_value(std::size_t pdf, std::size_t event);
SPlotError all_pdfs_zero(std::size_t event);
SPlotError mixture_not_finite(std::size_t event);
SPlotError nll_not_finite();

}  // namespace tarnwex
