#include "fit/likelihood/product_sums.h"

#include <vector>

#include "fit/batch_log/batch_log.h"
#include "fit/batch_log/simd_lanes.h"
#include "fit/model/mixture_density.h"
#include "minimizer/internal_error.h"

#ifdef TARNWEX_X86_LANES

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TARNWEX_BEGIN_AVX512
namespace tarnwex::avx512 {
namespace {
#include "fit/likelihood/product_sums_lanes.inc"
}  // namespace
}  // namespace tarnwex::avx512
TARNWEX_END_LANES

TARNWEX_BEGIN_AVX2
namespace tarnwex::avx2 {
namespace {
#include "fit/likelihood/product_sums_lanes.inc"
}  // namespace
}  // namespace tarnwex::avx2
TARNWEX_END_LANES

#pragma GCC diagnostic pop

#endif  // TARNWEX_X86_LANES

namespace tarnwex {

namespace {

// The vector paths take at most this many components at once, as the event
// loop's do; more go one event at a time.
constexpr std::size_t kMaxComponents = 16;

}  // namespace

void inverse_densities(std::span<const std::span<const double>> columns,
                       std::span<const double> yields, std::span<const double> weights,
                       std::size_t first, std::size_t n, double* inverse, double* weighted) {
  std::size_t done = 0;
#ifdef TARNWEX_X86_LANES
  if (columns.size() <= kMaxComponents) {
    const double* column[kMaxComponents];
    for (std::size_t k = 0; k < columns.size(); ++k) column[k] = columns[k].data() + first;
    const double* w = weights.empty() ? nullptr : weights.data() + first;
    switch (selected_log_kernel()) {
      case LogKernel::kAvx512:
        done = avx512::inverse_densities_lanes(column, yields.data(), columns.size(), w, n,
                                               inverse, weighted);
        break;
      case LogKernel::kAvx2:
        done = avx2::inverse_densities_lanes(column, yields.data(), columns.size(), w, n,
                                             inverse, weighted);
        break;
      case LogKernel::kScalar:
        break;
    }
  }
#endif
  for (std::size_t i = done; i < n; ++i) {
    const std::size_t e = first + i;
    const double density = mixture_density(columns, yields, e);
    const bool above = density > kDensityFloor;
    inverse[i] = above ? 1.0 / density : 0.0;
    weighted[i] = above ? (weights.empty() ? 1.0 / density : weights[e] / density) : 0.0;
  }
}

void add_products(EventSum& sum, const double* a, const double* b, std::size_t first,
                  std::size_t n) {
  if (first % EventSum::kLanes != 0) internal_error("product sums start at a lane boundary");
  std::size_t done = 0;
#ifdef TARNWEX_X86_LANES
  switch (selected_log_kernel()) {
    case LogKernel::kAvx512:
      done = avx512::add_products_lanes(sum, a, b, n);
      break;
    case LogKernel::kAvx2:
      done = avx2::add_products_lanes(sum, a, b, n);
      break;
    case LogKernel::kScalar:
      break;
  }
#endif
  for (std::size_t i = done; i < n; ++i) sum.add(first + i, a[i] * b[i]);
}

}  // namespace tarnwex
