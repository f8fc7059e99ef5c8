#include "fit/model/yield_information.h"

#include <array>
#include <cmath>
#include <vector>

#include "fit/model/component_count.h"
#include "fit/model/model_loops.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

namespace {

using model_detail::Components;

template <std::size_t K>
std::expected<Information, SPlotError> information_sums(const Components<K>& model,
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
  if (bad != model.n_events()) return Information{std::nullopt, bad};
  const auto k_index = static_cast<Eigen::Index>(n);
  Matrix information(k_index, k_index);
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) {
      information(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b)) = sums[a * n + b];
    }
  }
  return Information{std::move(information), model.n_events()};
}

}  // namespace

std::expected<Information, SPlotError> information_where_positive(const EvaluatedModel& model,
                                                                  std::span<const double> yields) {
  if (yields.size() != model.n_components()) internal_error("yields do not match the components");
  return for_component_count(model.n_components(), [&]<std::size_t K>() {
    return information_sums(Components<K>(model.columns(), yields), model.event_weights(),
                            model.interrupt_check());
  });
}

std::expected<Matrix, SPlotError> yield_information(const EvaluatedModel& model,
                                                    std::span<const double> yields) {
  auto found = information_where_positive(model, yields);
  if (!found) return std::unexpected(std::move(found.error()));
  if (!found->matrix) return model_detail::density_not_positive(found->first_not_positive);
  return std::move(*found->matrix);
}

}  // namespace tarnwex
