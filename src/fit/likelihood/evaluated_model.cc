#include "fit/sweights/evaluated_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "fit/likelihood/component_count.h"
#include "fit/likelihood/mixture_density.h"
#include "minimizer/dense_provider.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

namespace {

std::unexpected<SPlotError> density_not_positive(std::size_t e) {
  return std::unexpected(SPlotError::optimization("mixture density is not positive for event " +
                                                  std::to_string(e)));
}

}  // namespace

EvaluatedModel::EvaluatedModel(std::size_t n_events, std::vector<std::span<const double>> columns,
                               std::vector<std::vector<double>> owned,
                               std::span<const double> event_weights,
                               InterruptCheck interrupted)
    : n_events_(n_events),
      columns_(std::move(columns)),
      owned_(std::move(owned)),
      event_weights_(event_weights),
      interrupted_(std::move(interrupted)) {
  if (columns_.empty()) internal_error("a model needs at least one component");
  if (!event_weights_.empty() && event_weights_.size() != n_events_) {
    internal_error("event weights do not match the events");
  }
  for (const auto& column : columns_) {
    if (column.size() != n_events_) internal_error("PDF values do not match the events");
  }
}

namespace {

// The sPlot step's two event loops. K > 0 fixes the component count at
// compile time, so the loops unroll and the running sums stay in registers
// instead of in the matrix (which the compiler must assume the column reads
// could alias); K = 0 serves any count. Both form the same terms and sums,
// in the same order.
template <std::size_t K>
struct Components {
  explicit Components(const std::vector<std::span<const double>>& columns,
                      std::span<const double> yields)
      : count(K == 0 ? columns.size() : K),
        n_event_count(columns.front().size()),
        column(count),
        yield(yields.begin(), yields.end()) {
    for (std::size_t k = 0; k < count; ++k) column[k] = columns[k].data();
  }
  std::size_t size() const { return K == 0 ? count : K; }
  std::size_t n_events() const { return n_event_count; }
  double density(std::size_t e) const {
    return mixture_density<K>(column.data(), yield.data(), count, e);
  }
  std::size_t count;
  std::size_t n_event_count;
  std::vector<const double*> column;
  std::vector<double> yield;
};

template <std::size_t K>
std::expected<EvaluatedModel::Information, SPlotError> information_sums(const Components<K>& model,
                                                   std::span<const double> weights,
                                                   const InterruptCheck& interrupted) {
  const std::size_t n = model.size();
  constexpr std::size_t kSlots = K == 0 ? 1 : K * K;
  std::array<double, kSlots> fixed{};
  std::vector<double> any(K == 0 ? n * n : 0, 0.0);
  double* sums = K == 0 ? any.data() : fixed.data();
  std::array<const double*, K == 0 ? 1 : K> fixed_columns{};
  if constexpr (K != 0) {
    for (std::size_t k = 0; k < K; ++k) fixed_columns[k] = model.column[k];
  }
  const double* const* column = K == 0 ? model.column.data() : fixed_columns.data();
  std::size_t bad = model.n_events();
  auto looped = interrupted.for_event_blocks(model.n_events(), [&](std::size_t first,
                                                                   std::size_t end) {
    for (std::size_t e = first; e < end; ++e) {
      const double density = model.density(e);
      // No floor here, unlike the likelihood: the sPlot quantities divide by d_e.
      if (!std::isfinite(density) || !(density > 0.0)) {
        bad = e;
        return false;
      }
      const double weight = weight_of(weights, e);
      const double density_squared = density * density;
      for (std::size_t a = 0; a < n; ++a) {
        const double weighted = column[a][e] * weight;
        for (std::size_t b = 0; b < n; ++b) {
          sums[a * n + b] += (weighted * column[b][e]) / density_squared;
        }
      }
    }
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (bad != model.n_events()) return EvaluatedModel::Information{std::nullopt, bad};
  const auto k_index = static_cast<Eigen::Index>(n);
  Matrix information(k_index, k_index);
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) {
      information(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b)) = sums[a * n + b];
    }
  }
  return EvaluatedModel::Information{std::move(information), model.n_events()};
}

template <std::size_t K>
std::expected<RowMatrix, SPlotError> sweight_rows(const Components<K>& model,
                                                  const Matrix& covariance,
                                                  std::span<const double> weights,
                                                  const InterruptCheck& interrupted) {
  const std::size_t n = model.size();
  std::vector<double> coefficients(n * n);  // row-major copy of the covariance
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      coefficients[j * n + k] =
          covariance(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(k));
    }
  }
  const double* const* column = model.column.data();
  // Filled block by block: zeroing all n_events x K values up front would
  // itself be a long stretch without an interrupt check.
  RowMatrix sweights;
  sweights.rows = model.n_events();
  sweights.cols = n;
  sweights.values.reserve(model.n_events() * n);
  std::size_t bad = model.n_events();
  auto looped = interrupted.for_event_blocks(model.n_events(), [&](std::size_t first,
                                                                   std::size_t end) {
    sweights.values.resize(end * n);
    double* row = sweights.values.data() + first * n;
    for (std::size_t e = first; e < end; ++e, row += n) {
      const double density = model.density(e);
      if (!std::isfinite(density) || !(density > 0.0)) {
        bad = e;
        return false;
      }
      const double weight = weight_of(weights, e);
      for (std::size_t j = 0; j < n; ++j) {
        const double* v = coefficients.data() + j * n;
        double s = v[0] * column[0][e];
        for (std::size_t k = 1; k < n; ++k) s += v[k] * column[k][e];
        row[j] = s * weight / density;
      }
    }
    return true;
  });
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (bad != model.n_events()) return density_not_positive(bad);
  return sweights;
}

}  // namespace

std::expected<EvaluatedModel::Information, SPlotError> EvaluatedModel::information_where_positive(
    std::span<const double> yields) const {
  if (yields.size() != columns_.size()) internal_error("yields do not match the components");
  return for_component_count(columns_.size(), [&]<std::size_t K>() {
    return information_sums(Components<K>(columns_, yields), event_weights_, interrupted_);
  });
}

std::expected<Matrix, SPlotError> EvaluatedModel::yield_information(
    std::span<const double> yields) const {
  auto found = information_where_positive(yields);
  if (!found) return std::unexpected(std::move(found.error()));
  if (!found->matrix) return density_not_positive(found->first_not_positive);
  return std::move(*found->matrix);
}

std::expected<RowMatrix, SPlotError> EvaluatedModel::calculate_sweights(
    std::span<const double> yields, const Matrix& covariance) const {
  const std::size_t n_components = columns_.size();
  if (yields.size() != n_components) internal_error("yields do not match the components");
  if (covariance.rows() != static_cast<Eigen::Index>(n_components) ||
      covariance.cols() != static_cast<Eigen::Index>(n_components)) {
    internal_error("covariance does not match the components");
  }
  return for_component_count(n_components, [&]<std::size_t K>() {
    return sweight_rows(Components<K>(columns_, yields), covariance, event_weights_,
                       interrupted_);
  });
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
