#include "fit/densities/builtin_pdf.h"

#include <algorithm>
#include <utility>

#include "fit/core/text/format.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

std::vector<std::string> DensityDescription::parameter_names() const {
  std::vector<std::string> names;
  for (const DensityArgument& argument : arguments) {
    if (!argument.name.empty() && std::ranges::find(names, argument.name) == names.end()) {
      names.push_back(argument.name);
    }
  }
  return names;
}

std::expected<densities::PreparedDensity, SPlotError> DensityDescription::prepare(
    const ParameterMap& parameters, std::size_t pdf_index, std::vector<double>& values) const {
  const auto refusal = [&](const std::string& text) {
    return SPlotError::pdf_evaluation("PDF " + std::to_string(pdf_index) + " (" +
                                      std::string(densities::shape_name(shape)) + "): " + text);
  };
  values.clear();
  for (const DensityArgument& argument : arguments) {
    if (argument.name.empty()) {
      values.push_back(argument.fixed);
      continue;
    }
    const auto found = parameters.find(argument.name);
    if (found == parameters.end()) {
      return std::unexpected(
          refusal("shape parameter " + quoted_name(argument.name) + " is not given"));
    }
    values.push_back(found->second);
  }
  auto prepared = densities::PreparedDensity::prepare(shape, lo, hi, values);
  if (!prepared) return std::unexpected(refusal(prepared.error()));
  return std::move(*prepared);
}

BuiltinPdf::BuiltinPdf(DensityDescription description,
                       std::shared_ptr<const std::vector<double>> column, std::size_t pdf_index)
    : description_(std::move(description)),
      column_(std::move(column)),
      pdf_index_(pdf_index),
      names_(description_.parameter_names()) {
  if (!column_) internal_error("a built-in density needs its data column");
  std::vector<bool> seen(names_.size(), false);
  for (const DensityArgument& argument : description_.arguments) {
    if (argument.name.empty()) {
      slot_.emplace_back();
      shares_slot_.push_back(false);
      continue;
    }
    const auto slot = static_cast<std::size_t>(std::ranges::find(names_, argument.name) -
                                               names_.begin());
    slot_.emplace_back(slot);
    shares_slot_.push_back(seen[slot]);
    seen[slot] = true;
  }
}

std::expected<void, SPlotError> BuiltinPdf::check_events(const EventView& events) const {
  if (events.size() != column_->size()) {
    return std::unexpected(SPlotError::pdf_evaluation(
        "PDF " + std::to_string(pdf_index_) + ": its data column does not match the events"));
  }
  return {};
}

std::expected<double, SPlotError> BuiltinPdf::evaluate(EventRow event,
                                                       const ParameterMap& parameters) const {
  if (event.index() >= column_->size()) {
    return std::unexpected(SPlotError::pdf_evaluation(
        "PDF " + std::to_string(pdf_index_) + ": its data column does not match the events"));
  }
  auto prepared = description_.prepare(parameters, pdf_index_, argument_values_);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  double value = 0.0;
  prepared->evaluate(std::span<const double>(column_->data() + event.index(), 1), &value);
  return value;
}

std::expected<std::vector<double>, SPlotError> BuiltinPdf::evaluate_batch(
    const EventView& events, const ParameterMap& parameters) const {
  if (auto fits = check_events(events); !fits) return std::unexpected(std::move(fits.error()));
  auto prepared = description_.prepare(parameters, pdf_index_, argument_values_);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  std::vector<double> values(column_->size());
  prepared->evaluate(*column_, values.data());
  return values;
}

std::expected<PdfValuesView, SPlotError> BuiltinPdf::evaluate_batch_view(
    const EventView& events, const ParameterMap& parameters, std::vector<double>&) const {
  if (auto fits = check_events(events); !fits) return std::unexpected(std::move(fits.error()));
  auto prepared = description_.prepare(parameters, pdf_index_, argument_values_);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  // Sized once: every later point writes over the same storage.
  values_.resize(column_->size());
  prepared->evaluate(*column_, values_.data());
  return PdfValuesView{values_, 0};
}

std::expected<void, SPlotError> BuiltinPdf::prepare_derivatives(
    const ParameterMap& parameters) const {
  auto prepared = description_.prepare(parameters, pdf_index_, argument_values_);
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  prepared_ = std::move(*prepared);
  return {};
}

void BuiltinPdf::derivative_block(std::size_t first, std::size_t count, const double* values,
                                  std::span<double* const> derivatives) const {
  if (!prepared_) internal_error("derivative_block before prepare_derivatives");
  if (first > column_->size() || count > column_->size() - first) {
    internal_error("derivative_block past the events");
  }
  if (derivatives.size() != names_.size()) internal_error("one derivative per declared parameter");
  const std::size_t n_arguments = description_.arguments.size();
  const auto shared = static_cast<std::size_t>(std::ranges::count(shares_slot_, true));
  // Grows to the largest block once; a fit's blocks never exceed it again.
  if (shared_scratch_.size() < shared * count) shared_scratch_.resize(shared * count);
  if (value_scratch_.size() < count) value_scratch_.resize(count);
  argument_pointers_.assign(n_arguments, nullptr);
  std::size_t next_shared = 0;
  for (std::size_t a = 0; a < n_arguments; ++a) {
    if (!slot_[a] || derivatives[*slot_[a]] == nullptr) continue;
    argument_pointers_[a] = shares_slot_[a] ? shared_scratch_.data() + count * next_shared++
                                            : derivatives[*slot_[a]];
  }
  prepared_->derivatives_from_values(std::span<const double>(column_->data() + first, count),
                                     values, argument_pointers_, value_scratch_.data());
  // A parameter that stands for several arguments changes the density
  // through each of them.
  for (std::size_t a = 0; a < n_arguments; ++a) {
    if (!shares_slot_[a] || argument_pointers_[a] == nullptr) continue;
    double* total = derivatives[*slot_[a]];
    const double* part = argument_pointers_[a];
    for (std::size_t i = 0; i < count; ++i) total[i] += part[i];
  }
}

}  // namespace tarnwex
