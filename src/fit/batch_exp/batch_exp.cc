#include "fit/batch_exp/batch_exp.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "fit/batch_exp/exp_kernels.h"
#include "fit/batch_exp/exp_table.h"
#include "fit/batch_log/batch_log.h"

namespace tarnwex {

namespace {

// The place of the exponent field's lowest bit.
constexpr std::uint64_t kExponentOne = std::uint64_t{1} << 52;

// exp x for NaN and kMainBound < |x|, where 2^(k >> 3) may be 2^1024 or
// subnormal. The same reduction and q as the main path; only the scaling
// differs, and it keeps the main path's single rounding of s + s q.
double exp_outside_main_range(double x) {
  using namespace exp_table;
  if (std::isnan(x)) return x + x;
  if (x > kOverflowBound) return std::numeric_limits<double>::infinity();
  if (x < kUnderflowBound) return 0.0;
  const one_lane::ExpReduction parts = one_lane::exp_reduce(x);
  // The scale's bits, with the exponent field taken modulo 2^12: the two
  // branches move it back into range before it is read as a double.
  const std::uint64_t scale_bits = std::bit_cast<std::uint64_t>(parts.power) + parts.exponent;
  if (x > 0.0) {
    // Half the scale is finite; doubling the rounded half is exact, or
    // overflows exactly when rounding the whole would.
    const double half = std::bit_cast<double>(scale_bits - kExponentOne);
    return std::fma(half, parts.q, half) * 2.0;
  }
  // k >> 3 lies in [-1077, -1022] here, so the scale times 2^1022 is normal
  // and below 2.
  const double up = std::bit_cast<double>(scale_bits + 1022 * kExponentOne);
  const double y = std::fma(up, parts.q, up);
  if (y >= 1.0) return y * 0x1p-1022;  // a normal result: exact scaling
  // A subnormal result has its last place at 2^-1074, 2^-52 here, which is
  // the last place of 1 + y: the sum 1 + up + up q is rounded once, with
  // 1 + up carried exactly as sum + lost (up <= 1 whenever y < 1: a scale
  // above 1 is at least 2^(1/8), and 1 + q > 0.95). Taking 1 off again
  // and scaling back are exact.
  const double sum = 1.0 + up;
  const double lost = up - (sum - 1.0);
  const double rounded = sum + std::fma(up, parts.q, lost);
  return (rounded - 1.0) * 0x1p-1022;
}

// One value at a time in plain code (ExpKernel::kScalar), whatever the
// processor: density_exp's bits through the library's fma calls.
void scalar_kernel(const double* in, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned outside = 0;
    const double y = one_lane::exp_lanes(in[i], &outside);
    out[i] = outside == 0 ? y : exp_outside_main_range(in[i]);
  }
}

ExpKernel choose_kernel() {
  for (ExpKernel kernel : {ExpKernel::kAvx512, ExpKernel::kAvx2}) {
    if (exp_kernel_runs_here(kernel)) return kernel;
  }
  return ExpKernel::kScalar;
}

}  // namespace

// The main path with the FMA instruction where the processor has it, some
// ten times faster than calling the library's fma; the same operations, so
// the same bits, either way.
double density_exp(double x) {
  unsigned outside = 0;
#ifdef TARNWEX_X86_LANES
  static const bool fma_instruction = exp_kernel_runs_here(ExpKernel::kAvx2);
  const double y = fma_instruction ? avx2::one_lane::exp_lanes(x, &outside)
                                   : one_lane::exp_lanes(x, &outside);
#else
  const double y = one_lane::exp_lanes(x, &outside);
#endif
  return outside == 0 ? y : exp_outside_main_range(x);
}

// The logarithm's kernels need the same instruction sets, and it already
// asks the processor for them.
bool exp_kernel_runs_here(ExpKernel kernel) {
  switch (kernel) {
    case ExpKernel::kScalar:
      return true;
    case ExpKernel::kAvx2:
      return log_kernel_runs_here(LogKernel::kAvx2);
    case ExpKernel::kAvx512:
      return log_kernel_runs_here(LogKernel::kAvx512);
  }
  return false;
}

void exp_array_with(ExpKernel kernel, const double* in, double* out, std::size_t n) {
  switch (kernel) {
#ifdef TARNWEX_X86_LANES
    case ExpKernel::kAvx512:
      return avx512::exp_array(in, out, n);
    case ExpKernel::kAvx2:
      return avx2::exp_array(in, out, n);
#endif
    default:
      return scalar_kernel(in, out, n);
  }
}

ExpKernel selected_exp_kernel() {
  static const ExpKernel kernel = choose_kernel();
  return kernel;
}

void exp_array(const double* in, double* out, std::size_t n) {
  exp_array_with(selected_exp_kernel(), in, out, n);
}

}  // namespace tarnwex
