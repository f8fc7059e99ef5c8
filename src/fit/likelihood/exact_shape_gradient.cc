#include "fit/likelihood/exact_shape_gradient.h"

#include <algorithm>

#include "fit/likelihood/event_sum.h"
#include "fit/likelihood/product_sums.h"
#include "fit/model/mixture_density.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

namespace {

// Events per block: the derivative columns of a block stay in the cache
// between the PDFs' kernels and the sums. A multiple of the event sums'
// lane count.
constexpr std::size_t kBlock = 512;
static_assert(kBlock % EventSum::kLanes == 0);

}  // namespace

ExactShapeGradient::ExactShapeGradient(const PdfList& pdfs,
                                       const std::vector<std::string>& shape_names,
                                       const DeclaredDependence& dependence)
    : pdfs_(pdfs), exact_(shape_names.size(), true) {
  for (std::size_t k = 0; k < pdfs.size(); ++k) {
    if (pdfs[k].get().has_exact_derivatives() && dependence.declares(k)) continue;
    for (std::size_t j = 0; j < shape_names.size(); ++j) {
      if (dependence.depends(k, j)) exact_[j] = false;
    }
  }
  any_ = std::ranges::find(exact_, true) != exact_.end();
  all_ = std::ranges::find(exact_, false) == exact_.end();
  std::size_t most_declared = 0;
  for (std::size_t k = 0; k < pdfs.size(); ++k) {
    const ParametricPdf& pdf = pdfs[k].get();
    if (!pdf.has_exact_derivatives()) continue;
    const auto declared = pdf.declared_parameters();
    if (!declared) internal_error("a PDF with exact derivatives declares its parameters");
    Source source{k, {}};
    bool useful = false;
    for (const std::string& name : *declared) {
      const auto found = std::ranges::find(shape_names, name);
      std::optional<std::size_t> index;
      if (found != shape_names.end()) {
        const auto j = static_cast<std::size_t>(found - shape_names.begin());
        if (exact_[j]) index = j;
      }
      useful = useful || index.has_value();
      source.shape_index.push_back(index);
    }
    most_declared = std::max(most_declared, declared->size());
    if (useful) sources_.push_back(std::move(source));
  }
  inverse_.resize(kBlock);
  weighted_inverse_.resize(kBlock);
  derivatives_.resize(kBlock * most_declared);
  pointers_.resize(most_declared);
  numerators_.resize(kBlock * shape_names.size());
  sums_.resize(shape_names.size());
  information_sums_.resize(shape_names.size());
  block_scores_.resize(kBlock);
  block_weighted_scores_.resize(kBlock);
}

std::expected<void, SPlotError> ExactShapeGradient::add(
    const ParameterMap& parameters, std::span<const std::span<const double>> columns,
    std::span<const double> yields, std::span<const double> weights,
    const InterruptCheck& interrupted, std::span<double> gradient,
    std::span<std::vector<double>> scores, std::span<double> information) {
  if (sources_.empty()) return {};
  const std::size_t n_shapes = exact_.size();
  const std::size_t n_events = columns.empty() ? 0 : columns[0].size();
  for (const Source& source : sources_) {
    if (auto ready = pdfs_[source.pdf].get().prepare_derivatives(parameters); !ready) {
      return std::unexpected(std::move(ready.error()));
    }
  }
  std::vector<EventSum>& sums = sums_;
  for (EventSum& sum : sums) sum = EventSum{};
  for (EventSum& sum : information_sums_) sum = EventSum{};
  auto looped = interrupted.for_event_blocks(n_events, [&](std::size_t begin, std::size_t end) {
    for (std::size_t first = begin; first < end; first += kBlock) {
      const std::size_t count = std::min(kBlock, end - first);
      for (std::size_t j = 0; j < n_shapes; ++j) {
        std::fill_n(numerators_.begin() + static_cast<long>(j * kBlock), count, 0.0);
      }
      // sum_k y_k df_k/dp per event, in component order.
      for (const Source& source : sources_) {
        for (std::size_t d = 0; d < source.shape_index.size(); ++d) {
          pointers_[d] = source.shape_index[d] ? derivatives_.data() + d * kBlock : nullptr;
        }
        pdfs_[source.pdf].get().derivative_block(
            first, count, columns[source.pdf].data() + first,
            std::span<double* const>(pointers_.data(), source.shape_index.size()));
        const double y = yields[source.pdf];
        for (std::size_t d = 0; d < source.shape_index.size(); ++d) {
          if (!source.shape_index[d]) continue;
          double* numerator = numerators_.data() + *source.shape_index[d] * kBlock;
          const double* derivative = pointers_[d];
          for (std::size_t i = 0; i < count; ++i) numerator[i] += y * derivative[i];
        }
      }
      // w_e / d_e once per event (0 at or below the floor), then each
      // parameter's products into its event sum.
      inverse_densities(columns, yields, weights, first, count, inverse_.data(),
                        weighted_inverse_.data());
      for (std::size_t j = 0; j < n_shapes; ++j) {
        if (!exact_[j]) continue;
        const double* numerator = numerators_.data() + j * kBlock;
        add_products(sums[j], numerator, weighted_inverse_.data(), first, count);
        if (!scores.empty()) {
          double* score = scores[j].data() + first;
          for (std::size_t k = 0; k < count; ++k) score[k] = numerator[k] * inverse_[k];
        }
        if (!information.empty()) {
          for (std::size_t k = 0; k < count; ++k) {
            block_scores_[k] = numerator[k] * inverse_[k];
            block_weighted_scores_[k] = numerator[k] * weighted_inverse_[k];
          }
          add_products(information_sums_[j], block_scores_.data(), block_weighted_scores_.data(),
                       first, count);
        }
      }
    }
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  for (std::size_t j = 0; j < n_shapes; ++j) {
    if (!exact_[j]) continue;
    gradient[j] += -sums[j].total();
    if (!information.empty()) information[j] = information_sums_[j].total();
  }
  return {};
}

}  // namespace tarnwex
