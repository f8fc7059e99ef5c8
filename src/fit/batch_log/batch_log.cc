#include "fit/batch_log/batch_log.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fit/batch_log/log_kernels.h"

namespace tarnwex {

namespace {

void scalar_kernel(const double* in, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

// The sweep a kernel must pass: every exponent of the normal range with
// pseudo-random mantissas (so every table entry under every exponent), dense
// random values where densities live, both edges of the path near 1, and
// the values the library treats apart.
std::vector<double> sweep_inputs() {
  std::vector<double> values;
  std::uint64_t state = 0x9e3779b97f4a7c15;
  auto next = [&state] {
    state += 0x9e3779b97f4a7c15;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  };
  constexpr std::uint64_t kMantissa = (std::uint64_t{1} << 52) - 1;
  for (std::uint64_t exponent = 1; exponent < 2047; ++exponent) {
    for (int repeat = 0; repeat < 16; ++repeat) {
      values.push_back(std::bit_cast<double>((exponent << 52) | (next() & kMantissa)));
    }
  }
  for (int repeat = 0; repeat < 32768; ++repeat) {
    const std::uint64_t exponent = 0x3f0 + next() % 0x40;  // about 2^-15 to 2^48
    values.push_back(std::bit_cast<double>((exponent << 52) | (next() & kMantissa)));
  }
  using log_kernels::kNearOneLow;
  using log_kernels::kNearOneSpan;
  for (std::uint64_t edge : {kNearOneLow, kNearOneLow + kNearOneSpan}) {
    for (std::uint64_t delta = 0; delta < 64; ++delta) {
      values.push_back(std::bit_cast<double>(edge + delta));
      values.push_back(std::bit_cast<double>(edge - 1 - delta));
    }
  }
  for (double special : {0.0, -0.0, 1.0, -1.0, 5e-324, 2.2250738585072014e-308,
                         1.7976931348623157e308, 1e-300, std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()}) {
    values.push_back(special);
  }
  return values;
}

LogKernel choose_kernel() {
  for (LogKernel kernel : {LogKernel::kAvx512, LogKernel::kAvx2}) {
    if (log_kernel_agrees_with_library(kernel)) return kernel;
  }
  return LogKernel::kScalar;
}

}  // namespace

bool log_kernel_runs_here(LogKernel kernel) {
  switch (kernel) {
    case LogKernel::kScalar:
      return true;
#ifdef TARNWEX_X86_LANES
    case LogKernel::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case LogKernel::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
    case LogKernel::kAvx2:
    case LogKernel::kAvx512:
      return false;
#endif
  }
  return false;
}

bool log_kernel_agrees_with_library(LogKernel kernel) {
  if (!log_kernel_runs_here(kernel)) return false;
  const std::vector<double> inputs = sweep_inputs();
  std::vector<double> logs(inputs.size());
  batch_log_with(kernel, inputs.data(), logs.data(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(logs[i]) != std::bit_cast<std::uint64_t>(std::log(inputs[i]))) {
      return false;
    }
  }
  return true;
}

void batch_log_with(LogKernel kernel, const double* in, double* out, std::size_t n) {
  switch (kernel) {
#ifdef TARNWEX_X86_LANES
    case LogKernel::kAvx512:
      return avx512::log_array(in, out, n);
    case LogKernel::kAvx2:
      return avx2::log_array(in, out, n);
#endif
    default:
      return scalar_kernel(in, out, n);
  }
}

LogKernel selected_log_kernel() {
  static const LogKernel kernel = choose_kernel();
  return kernel;
}

}  // namespace tarnwex
