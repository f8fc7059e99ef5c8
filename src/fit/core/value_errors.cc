#include "fit/core/value_errors.h"

namespace tarnwex {

std::string wrong_length_text(std::size_t pdf, std::size_t length, std::size_t expected) {
  return "PDF " + std::to_string(pdf) + " returned " + std::to_string(length) +
         " values, expected " + std::to_string(expected);
}

SPlotError wrong_length(std::size_t pdf, std::size_t length, std::size_t expected) {
  return SPlotError::pdf_evaluation(wrong_length_text(pdf, length, expected));
}

SPlotError invalid_pdf_value(std::size_t pdf, std::size_t event) {
  return SPlotError::pdf_evaluation("PDF " + std::to_string(pdf) +
                                    " returned an invalid value for event " +
                                    std::to_string(event));
}

SPlotError all_pdfs_zero(std::size_t event) {
  return SPlotError::pdf_evaluation("all PDFs are zero for event " + std::to_string(event));
}

SPlotError mixture_not_finite(std::size_t event) {
  return SPlotError::optimization("mixture density is not finite for event " +
                                  std::to_string(event));
}

SPlotError nll_not_finite() {
  return SPlotError::optimization("negative log-likelihood is not finite");
}

}  // namespace tarnwex
