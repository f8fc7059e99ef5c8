// The mixture density d_e = sum over k of y_k f_k(e), summed in component
// order as every event sum of the fit does, and the floor the likelihood puts
// under it.
#pragma once

#include <cstddef>
#include <span>

namespace tarnwex {

// Mixture densities at or below this are treated as this, so that a point
// where the model vanishes costs a large but finite amount.
inline constexpr double kDensityFloor = 1e-300;

// Weight of event e; no weights at all means every weight is 1.
inline double weight_of(std::span<const double> weights, std::size_t e) {
  return weights.empty() ? 1.0 : weights[e];
}

// d_e over `count` column pointers and yields. K > 0 fixes the count at
// compile time, so that the sum unrolls (K = 0: `count` components).
template <std::size_t K = 0>
inline double mixture_density(const double* const* column, const double* yield,
                              std::size_t count, std::size_t e) {
  const std::size_t n = K == 0 ? count : K;
  double density = yield[0] * column[0][e];
  for (std::size_t k = 1; k < n; ++k) density += yield[k] * column[k][e];
  return density;
}

// d_e over one column and one yield per component.
inline double mixture_density(std::span<const std::span<const double>> columns,
                              std::span<const double> yields, std::size_t e) {
  double density = yields[0] * columns[0][e];
  for (std::size_t k = 1; k < columns.size(); ++k) density += yields[k] * columns[k][e];
  return density;
}

}  // namespace tarnwex
