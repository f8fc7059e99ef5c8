#include "fit/uncertainties/weighted_covariance.h"

#include <cmath>
#include <limits>
#include <optional>

#include "fit/core/value_errors.h"
#include "fit/likelihood/event_sum.h"
#include "fit/model/mixture_density.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

namespace {

// C = sum_e w_e^2 s_e s_e^T, each entry a compensated event sum.
std::expected<Matrix, SPlotError> score_products(const EvaluatedModel& model,
                                                 std::span<const double> yields,
                                                 std::span<const std::vector<double>> shape_scores) {
  const std::size_t n_components = model.n_components();
  const std::size_t n = n_components + shape_scores.size();
  const std::span<const double> weights = model.event_weights();
  std::vector<const double*> columns(n_components);
  for (std::size_t k = 0; k < n_components; ++k) columns[k] = model.column(k).data();
  std::vector<EventSum> products(n * (n + 1) / 2);
  std::vector<double> score(n);
  std::optional<SPlotError> failure;
  auto looped = model.interrupt_check().for_event_blocks(
      model.n_events(), [&](std::size_t first, std::size_t end) {
        for (std::size_t e = first; e < end; ++e) {
          const double density = mixture_density(columns.data(), yields.data(), n_components, e);
          if (!std::isfinite(density)) {
            failure = mixture_not_finite(e);
            return false;
          }
          // A floored density does not depend on the yields, as in the NLL.
          const double inverse = density > kDensityFloor ? 1.0 / density : 0.0;
          for (std::size_t a = 0; a < n_components; ++a) score[a] = columns[a][e] * inverse;
          for (std::size_t j = 0; j < shape_scores.size(); ++j) {
            score[n_components + j] = shape_scores[j][e];
          }
          const double weight = weight_of(weights, e);
          const double squared = weight * weight;
          for (std::size_t a = 0, entry = 0; a < n; ++a) {
            const double weighted = squared * score[a];
            for (std::size_t b = 0; b <= a; ++b, ++entry) products[entry].add(e, weighted * score[b]);
          }
        }
        return true;
      });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (failure) return std::unexpected(std::move(*failure));
  const auto n_index = static_cast<Eigen::Index>(n);
  Matrix out(n_index, n_index);
  for (std::size_t a = 0, entry = 0; a < n; ++a) {
    for (std::size_t b = 0; b <= a; ++b, ++entry) {
      const auto i = static_cast<Eigen::Index>(a);
      const auto j = static_cast<Eigen::Index>(b);
      out(i, j) = products[entry].total();
      out(j, i) = out(i, j);
    }
  }
  return out;
}

}  // namespace

std::expected<void, SPlotError> apply_weighted_covariance(
    MinimizationSummary& summary, const EvaluatedModel& model, std::span<const double> yields,
    std::span<const std::vector<double>> shape_scores) {
  if (!summary.hessian) return {};
  const Eigen::Index n = summary.covariance.rows();
  if (static_cast<std::size_t>(n) != model.n_components() + shape_scores.size()) {
    internal_error("the scores do not match the fit's parameters");
  }
  auto products = score_products(model, yields, shape_scores);
  if (!products) return std::unexpected(std::move(products.error()));
  // A held parameter's variance is NaN and its row and column 0; it takes
  // no part in the product.
  Matrix inverse = summary.covariance;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (std::isnan(inverse(i, i))) inverse(i, i) = 0.0;
  }
  Matrix sandwich = inverse * *products * inverse;
  sandwich = (0.5 * (sandwich + sandwich.transpose())).eval();
  Vector errors(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    if (std::isnan(summary.covariance(i, i))) sandwich(i, i) = summary.covariance(i, i);
    const double variance = sandwich(i, i);
    errors[i] = std::isfinite(summary.errors[i]) && variance > 0.0 && std::isfinite(variance)
                    ? std::sqrt(variance)
                    : std::numeric_limits<double>::quiet_NaN();
  }
  summary.covariance = std::move(sandwich);
  summary.errors = std::move(errors);
  return {};
}

}  // namespace tarnwex
