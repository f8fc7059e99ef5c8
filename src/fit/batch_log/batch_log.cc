#include "fit/batch_log/batch_log.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#ifdef __x86_64__
#include <cpuid.h>
#endif

#include "fit/batch_log/library_log.h"
#include "fit/batch_log/log_kernels.h"

namespace tarnwex {

namespace {

void scalar_kernel(const double* in, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = library_log(in[i]);
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

// What the processor and the operating system support, asked of the
// processor itself: the compilers' feature built-ins depend on a runtime
// that not every toolchain initialises in a shared module (Zig's Clang
// reports no feature at all).
struct ProcessorFeatures {
  bool avx2_fma = false;   // AVX2 and FMA, with the YMM state saved by the system
  bool avx512_dq = false;  // AVX-512 F and DQ, with the ZMM state saved too
};

ProcessorFeatures processor_features() {
  ProcessorFeatures found;
#ifdef TARNWEX_X86_LANES
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return found;
  const bool fma = (c & (1u << 12)) != 0;
  const bool os_saves_state = (c & (1u << 27)) != 0;  // OSXSAVE: XGETBV may run
  const bool avx = (c & (1u << 28)) != 0;
  if (!os_saves_state || !avx) return found;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  const bool ymm_state = (xcr0_low & 0x6u) == 0x6u;    // SSE and AVX state
  const bool zmm_state = (xcr0_low & 0xe6u) == 0xe6u;  // ... and the AVX-512 state
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return found;
  const bool avx2 = (b & (1u << 5)) != 0;
  const bool avx512f = (b & (1u << 16)) != 0;
  const bool avx512dq = (b & (1u << 17)) != 0;
  found.avx2_fma = ymm_state && avx2 && fma;
  found.avx512_dq = zmm_state && avx512f && avx512dq;
#endif
  return found;
}

LogKernel choose_kernel() {
  for (LogKernel kernel : {LogKernel::kAvx512, LogKernel::kAvx2}) {
    if (log_kernel_agrees_with_library(kernel)) return kernel;
  }
  return LogKernel::kScalar;
}

}  // namespace

bool log_kernel_runs_here(LogKernel kernel) {
  static const ProcessorFeatures features = processor_features();
  switch (kernel) {
    case LogKernel::kScalar:
      return true;
    case LogKernel::kAvx2:
      return features.avx2_fma;
    case LogKernel::kAvx512:
      return features.avx512_dq;
  }
  return false;
}

bool log_kernel_agrees_with_library(LogKernel kernel) {
  if (!log_kernel_runs_here(kernel)) return false;
  const std::vector<double> inputs = sweep_inputs();
  std::vector<double> logs(inputs.size());
  batch_log_with(kernel, inputs.data(), logs.data(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(logs[i]) != std::bit_cast<std::uint64_t>(library_log(inputs[i]))) {
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
