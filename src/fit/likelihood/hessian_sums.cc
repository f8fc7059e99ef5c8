#include "fit/likelihood/hessian_sums.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "fit/batch_log/batch_log.h"
#include "fit/core/value_errors.h"
#include "fit/likelihood/event_sum.h"
#include "fit/likelihood/log_density_sum.h"

namespace tarnwex {

namespace {

// Values [first, end) become their logarithms in place, with the event
// loop's own logarithm, through a short copy that stays in the first-level
// cache.
void to_logs(std::vector<double>& values, std::size_t first, std::size_t end) {
  constexpr std::size_t kLogBlock = 512;
  std::array<double, kLogBlock> block;
  const LogKernel kernel = selected_log_kernel();
  for (std::size_t at = first; at < end; at += kLogBlock) {
    const std::size_t length = std::min(kLogBlock, end - at);
    std::copy_n(values.data() + at, length, block.data());
    batch_log_with(kernel, block.data(), values.data() + at, length);
  }
}

}  // namespace

std::expected<YieldDerivatives, SPlotError> yield_derivatives(
    std::span<const std::span<const double>> columns, std::span<const double> yields,
    std::span<const double> weights, const InterruptCheck& interrupted, bool keep_densities) {
  const std::size_t n_components = columns.size();
  const std::size_t n_events = columns.front().size();
  const auto k_index = static_cast<Eigen::Index>(n_components);
  YieldDerivatives out;
  if (keep_densities) out.log_densities.reserve(n_events);
  std::vector<EventSum> sums(n_components);
  std::vector<EventSum> curvature(n_components * (n_components + 1) / 2);
  std::size_t bad = n_events;
  auto looped = interrupted.for_event_blocks(n_events, [&](std::size_t first, std::size_t end) {
    // Grown block by block, so that what a resize zeroes is still in the
    // cache when the loop writes it: zeroing n_events values first would
    // cost a pass of its own.
    double* floored = nullptr;
    if (keep_densities) {
      out.log_densities.resize(end);
      floored = out.log_densities.data();
    }
    const LoopOutcome block =
        add_yield_curvature_terms(sums, curvature, columns, yields, weights, end, floored, first);
    if (block.first_bad_mixture != end) {
      bad = block.first_bad_mixture;
      return false;
    }
    if (keep_densities) to_logs(out.log_densities, first, end);
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (bad != n_events) return std::unexpected(mixture_not_finite(bad));
  out.gradient.resize(k_index);
  out.curvature = Matrix::Zero(k_index, k_index);
  out.yield_sums.resize(n_components);
  for (std::size_t a = 0, entry = 0; a < n_components; ++a) {
    const auto i = static_cast<Eigen::Index>(a);
    out.yield_sums[a] = sums[a].total();
    out.gradient[i] = 1.0 - out.yield_sums[a];
    for (std::size_t b = 0; b <= a; ++b, ++entry) {
      const auto j = static_cast<Eigen::Index>(b);
      out.curvature(i, j) = curvature[entry].total();
      out.curvature(j, i) = out.curvature(i, j);
    }
  }
  return out;
}

std::expected<ShapePointSums, SPlotError> shape_point_sums(
    std::span<const std::span<const double>> columns, std::span<const double> yields,
    std::span<const double> weights, std::span<const double> reference_logs,
    const InterruptCheck& interrupted, ScoreTap tap) {
  const std::size_t n_components = columns.size();
  const std::size_t n_events = columns.front().size();
  // A first term grows its score block by block, so that no long fill runs
  // without an interrupt check.
  if (tap.score && tap.first) {
    tap.score->clear();
    tap.score->reserve(n_events);
  }
  EventSum nll_change;
  EventSum squared_log_change;
  std::vector<EventSum> sums(n_components);
  LogChangeTerms terms{&nll_change, &squared_log_change, reference_logs.data()};
  if (tap.score) {
    terms.score_weight = tap.weight;
    terms.score_first = tap.first;
  }
  std::size_t bad = n_events;
  auto looped = interrupted.for_event_blocks(n_events, [&](std::size_t first, std::size_t end) {
    if (tap.score) {
      if (tap.first) tap.score->resize(end);
      terms.scores = tap.score->data();
    }
    const LoopOutcome block =
        add_log_change_terms(terms, sums, columns, yields, weights, end, first);
    if (block.first_bad_mixture == end) return true;
    bad = block.first_bad_mixture;
    return false;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (bad != n_events) return std::unexpected(mixture_not_finite(bad));
  ShapePointSums out;
  out.nll_change = nll_change.total();
  out.squared_log_change = squared_log_change.total();
  out.yield_sums.resize(n_components);
  for (std::size_t a = 0; a < n_components; ++a) out.yield_sums[a] = sums[a].total();
  if (!std::isfinite(out.nll_change)) return std::unexpected(nll_not_finite());
  return out;
}

}  // namespace tarnwex
