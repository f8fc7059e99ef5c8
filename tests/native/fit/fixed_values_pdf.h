// A PDF that hands out fixed values, for tests of the likelihood and the model.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "fit/inputs/parametric_pdf.h"

namespace tarnwex::testing {

class FixedValuesPdf : public ParametricPdf {
 public:
  // With a non-zero revision the values are handed out as a view under it;
  // with 0 they go through the default copy into the caller's scratch.
  explicit FixedValuesPdf(std::vector<double> values, std::uint64_t revision = 0)
      : values_(std::move(values)), revision_(revision) {}

  std::expected<double, SPlotError> evaluate(EventRow event, const ParameterMap&) const override {
    return values_[static_cast<std::size_t>(event[0])];
  }
  std::expected<std::vector<double>, SPlotError> evaluate_batch(const EventView&,
                                                                const ParameterMap& parameters) const override {
    ++calls_;
    last_parameters_ = parameters;
    return values_;
  }
  std::expected<PdfValuesView, SPlotError> evaluate_batch_view(
      const EventView& events, const ParameterMap& parameters,
      std::vector<double>& scratch) const override {
    if (revision_ == 0) return ParametricPdf::evaluate_batch_view(events, parameters, scratch);
    ++calls_;
    last_parameters_ = parameters;
    return PdfValuesView{values_, revision_};
  }

  int calls() const { return calls_; }
  const ParameterMap& last_parameters() const { return last_parameters_; }

 private:
  std::vector<double> values_;
  std::uint64_t revision_;
  mutable int calls_ = 0;
  mutable ParameterMap last_parameters_;
};

// A PDF whose every evaluation fails with the given error.
class FailingPdf : public ParametricPdf {
 public:
  explicit FailingPdf(SPlotError error) : error_(std::move(error)) {}
  std::expected<double, SPlotError> evaluate(EventRow, const ParameterMap&) const override {
    return std::unexpected(error_);
  }
  std::expected<std::vector<double>, SPlotError> evaluate_batch(const EventView&,
                                                                const ParameterMap&) const override {
    ++calls_;
    return std::unexpected(error_);
  }
  int calls() const { return calls_; }

 private:
  SPlotError error_;
  mutable int calls_ = 0;
};

}  // namespace tarnwex::testing
