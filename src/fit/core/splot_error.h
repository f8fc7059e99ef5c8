// The error of every fallible fit-core operation.
#pragma once

#include <string>

#include "minimizer/minimizer_error.h"

namespace tarnwex {

class SPlotError {
 public:
  enum class Kind { Minimizer, InvalidInput, PdfEvaluation, Optimization, SingularCovariance };

  static SPlotError minimizer(MinimizerError error);
  static SPlotError invalid_input(std::string message);
  static SPlotError pdf_evaluation(std::string message);
  static SPlotError optimization(std::string message);
  static SPlotError singular_covariance(std::string message);
  // An error that ends the whole fit, whatever part of it meets it: the
  // caller has been asked to stop (an interrupt, an exception that is not an
  // ordinary error). An optional refit that meets any other error is given
  // up, and the run it would have replaced stands.
  static SPlotError stopped(std::string message);
  bool stops_fit() const { return stops_fit_; }

  Kind kind() const { return kind_; }
  // The message without its prefix (for Minimizer: the minimizer error's text).
  const std::string& message() const { return message_; }

  // "invalid input: ...", "PDF evaluation failed: ...", "optimization failed: ...",
  // "singular yield covariance: ...", or the minimizer error's own display.
  std::string display() const;

  friend bool operator==(const SPlotError&, const SPlotError&) = default;

 private:
  SPlotError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
  MinimizerError minimizer_;
  bool stops_fit_ = false;
};

}  // namespace tarnwex
