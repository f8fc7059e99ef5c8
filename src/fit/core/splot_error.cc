#include "fit/core/splot_error.h"

namespace tarnwex {

SPlotError SPlotError::minimizer(MinimizerError error) {
  SPlotError result(Kind::Minimizer, error.text);
  result.minimizer_ = std::move(error);
  return result;
}

SPlotError SPlotError::invalid_input(std::string message) {
  return SPlotError(Kind::InvalidInput, std::move(message));
}

SPlotError SPlotError::pdf_evaluation(std::string message) {
  return SPlotError(Kind::PdfEvaluation, std::move(message));
}

SPlotError SPlotError::optimization(std::string message) {
  return SPlotError(Kind::Optimization, std::move(message));
}

SPlotError SPlotError::singular_covariance(std::string message) {
  return SPlotError(Kind::SingularCovariance, std::move(message));
}

SPlotError SPlotError::stopped(std::string message) {
  SPlotError result(Kind::PdfEvaluation, std::move(message));
  result.stops_fit_ = true;
  return result;
}

std::string SPlotError::display() const {
  switch (kind_) {
    case Kind::Minimizer: return minimizer_.display();
    case Kind::InvalidInput: return "invalid input: " + message_;
    case Kind::PdfEvaluation: return "PDF evaluation failed: " + message_;
    case Kind::Optimization: return "optimization failed: " + message_;
    case Kind::SingularCovariance: return "singular yield covariance: " + message_;
  }
  return message_;
}

}  // namespace tarnwex
