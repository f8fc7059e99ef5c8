#include "fit/likelihood/product_sums.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "fit/model/mixture_density.h"

namespace tarnwex {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The vector paths this processor takes must give the one-event-at-a-time
// definition's bits, for every length and with the floor crossed.
TEST(ProductSums, VectorPathsGiveTheBitsOfOneEventAtATime) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(-2.0, 3.0);
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 31u, 64u, 513u}) {
    std::vector<std::vector<double>> stored(3, std::vector<double>(n + 16));
    for (auto& column : stored) {
      for (double& v : column) v = std::abs(value(rng));
    }
    if (n > 3) stored[0][5] = stored[1][5] = stored[2][5] = 0.0;  // at the floor
    std::vector<std::span<const double>> columns(stored.begin(), stored.end());
    const std::vector<double> yields{3.0, 0.5, 11.0};
    std::vector<double> weights(n + 16);
    for (double& w : weights) w = value(rng);
    const std::size_t first = 8;
    std::vector<double> inverse(n), weighted(n);
    inverse_densities(columns, yields, weights, first, n, inverse.data(), weighted.data());
    EventSum vector_sum, plain_sum;
    std::vector<double> a(n);
    for (double& v : a) v = value(rng);
    add_products(vector_sum, a.data(), weighted.data(), first, n);
    for (std::size_t i = 0; i < n; ++i) {
      const double density = mixture_density(columns, yields, first + i);
      const bool above = density > kDensityFloor;
      EXPECT_EQ(bits(inverse[i]), bits(above ? 1.0 / density : 0.0)) << n << " " << i;
      EXPECT_EQ(bits(weighted[i]), bits(above ? weights[first + i] / density : 0.0));
      plain_sum.add(first + i, a[i] * weighted[i]);
    }
    for (std::size_t lane = 0; lane < EventSum::kLanes; ++lane) {
      EXPECT_EQ(bits(vector_sum.sum[lane]), bits(plain_sum.sum[lane]));
      EXPECT_EQ(bits(vector_sum.compensation[lane]), bits(plain_sum.compensation[lane]));
    }
  }
}

}  // namespace
}  // namespace tarnwex
