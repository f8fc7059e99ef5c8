#include "fit/evaluated_model.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "fit/mixture_density.h"
#include "minimizer/dense_provider.h"

namespace tarnwex {

EvaluatedModel::EvaluatedModel(std::size_t n_events, std::vector<std::span<const double>> columns,
                               std::vector<std::vector<double>> owned,
                               std::span<const double> event_weights)
    : n_events_(n_events),
      columns_(std::move(columns)),
      owned_(std::move(owned)),
      event_weights_(event_weights) {
  if (columns_.empty()) internal_error("a model needs at least one component");
  if (event_weights_.size() != n_events_) internal_error("event weights do not match the events");
  for (const auto& column : columns_) {
    if (column.size() != n_events_) internal_error("PDF values do not match the events");
  }
}

std::expected<double, SPlotError> EvaluatedModel::mixture_density(
    std::size_t e, std::span<const double> yields) const {
  const double density = tarnwex::mixture_density(columns_, yields, e);
  // No floor here, unlike the likelihood: the sPlot quantities divide by d_e.
  if (!std::isfinite(density) || !(density > 0.0)) {
    return std::unexpected(SPlotError::optimization("mixture density is not positive for event " +
                                                    std::to_string(e)));
  }
  return density;
}

std::expected<Matrix, SPlotError> EvaluatedModel::yield_information(
    std::span<const double> yields) const {
  const std::size_t n_components = columns_.size();
  if (yields.size() != n_components) internal_error("yields do not match the components");
  const auto k_index = static_cast<Eigen::Index>(n_components);
  Matrix information = Matrix::Zero(k_index, k_index);
  for (std::size_t e = 0; e < n_events_; ++e) {
    auto density = mixture_density(e, yields);
    if (!density) return std::unexpected(std::move(density.error()));
    const double weight = event_weights_[e];
    const double density_squared = *density * *density;
    for (std::size_t a = 0; a < n_components; ++a) {
      const double weighted = columns_[a][e] * weight;
      for (std::size_t b = 0; b < n_components; ++b) {
        information(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b)) +=
            (weighted * columns_[b][e]) / density_squared;
      }
    }
  }
  return information;
}

std::expected<RowMatrix, SPlotError> EvaluatedModel::calculate_sweights(
    std::span<const double> yields, const Matrix& covariance) const {
  const std::size_t n_components = columns_.size();
  if (yields.size() != n_components) internal_error("yields do not match the components");
  if (covariance.rows() != static_cast<Eigen::Index>(n_components) ||
      covariance.cols() != static_cast<Eigen::Index>(n_components)) {
    internal_error("covariance does not match the components");
  }
  RowMatrix sweights(n_events_, n_components);
  for (std::size_t e = 0; e < n_events_; ++e) {
    auto density = mixture_density(e, yields);
    if (!density) return std::unexpected(std::move(density.error()));
    const double weight = event_weights_[e];
    for (std::size_t j = 0; j < n_components; ++j) {
      const auto row = static_cast<Eigen::Index>(j);
      double s = covariance(row, 0) * columns_[0][e];
      for (std::size_t k = 1; k < n_components; ++k) {
        s += covariance(row, static_cast<Eigen::Index>(k)) * columns_[k][e];
      }
      sweights(e, j) = s * weight / *density;
    }
  }
  return sweights;
}

bool covariance_is_valid(const Matrix& information, const Matrix& covariance, double tolerance) {
  const Eigen::Index n = information.rows();
  if (n == 0) return true;
  if (information.cols() != n || covariance.rows() != n || covariance.cols() != n) {
    internal_error("information and covariance must be square matrices of one order");
  }
  const double threshold = std::max(10.0 * tolerance, 1e-8);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) {
      double p = information(i, 0) * covariance(0, j);
      for (Eigen::Index k = 1; k < n; ++k) p += information(i, k) * covariance(k, j);
      if (!std::isfinite(p)) return false;
      const double deviation = i == j ? std::abs(p - 1.0) : std::abs(p);
      if (deviation > threshold) return false;
    }
  }
  return true;
}

std::expected<Matrix, SPlotError> splot_covariance(const Matrix& information, double tolerance) {
  auto covariance = DenseProvider::lu_inverse(information);
  if (!covariance) {
    return std::unexpected(SPlotError::singular_covariance(
        "the event-summed yield information matrix is not invertible"));
  }
  if (!covariance_is_valid(information, *covariance, tolerance)) {
    return std::unexpected(
        SPlotError::singular_covariance("the component PDFs are not independently identifiable"));
  }
  return std::move(*covariance);
}

}  // namespace tarnwex
