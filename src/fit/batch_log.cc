#include "fit/batch_log.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fit/log_table.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TARNWEX_X86_KERNELS 1
#endif

namespace tarnwex {

namespace {

// The library's main path serves positive normal finite x outside
// [1 - 2^-4, 1 + 0x1.09p-4): the bits of x are split into an exponent k and
// z in [0x3fe6 << 48, 2 * that), z is reduced by the table's 1/c to
// r = z/c - 1, and log x = k ln2 + log c + log1p(r).
constexpr std::uint64_t kNearOneLow = 0x3fee000000000000;  // bits of 1 - 2^-4
constexpr std::uint64_t kNearOneSpan = 0x0003090000000000;  // up to 1 + 0x1.09p-4
constexpr std::uint64_t kTopLow = 0x0010;                  // smallest normal exponent
constexpr std::uint64_t kTopSpan = 0x7fdf;                 // ... up to the largest finite
constexpr std::uint64_t kReductionOffset = 0x3fe6000000000000;
constexpr std::uint64_t kExponentField = 0xfff0000000000000;

void scalar_kernel(const double* in, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

#ifdef TARNWEX_X86_KERNELS

namespace table = log_table;

// GCC 12's AVX-512 headers build some constants from deliberately undefined
// registers, which its own -Wmaybe-uninitialized then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Every operation below is one of the library's, in its order: the three
// products-plus-sums it fuses are fused here and nothing else is (the
// compiler contracts nothing in this project).
__attribute__((target("avx512f,avx512dq"))) void avx512_kernel(const double* in, double* out,
                                                                 std::size_t n) {
  const __m512i near_low = _mm512_set1_epi64(kNearOneLow);
  const __m512i near_span = _mm512_set1_epi64(kNearOneSpan);
  const __m512i top_low = _mm512_set1_epi64(kTopLow);
  const __m512i top_span = _mm512_set1_epi64(kTopSpan);
  const __m512i offset = _mm512_set1_epi64(kReductionOffset);
  const __m512i exponent_field = _mm512_set1_epi64(static_cast<long long>(kExponentField));
  const __m512i index_mask = _mm512_set1_epi64(127);
  const __m512d minus_one = _mm512_set1_pd(-1.0);
  const __m512d ln2_hi = _mm512_set1_pd(table::kLn2Hi);
  const __m512d ln2_lo = _mm512_set1_pd(table::kLn2Lo);
  const __m512d a0 = _mm512_set1_pd(table::kPoly[0]);
  const __m512d a1 = _mm512_set1_pd(table::kPoly[1]);
  const __m512d a2 = _mm512_set1_pd(table::kPoly[2]);
  const __m512d a3 = _mm512_set1_pd(table::kPoly[3]);
  const __m512d a4 = _mm512_set1_pd(table::kPoly[4]);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m512i ix = _mm512_loadu_si512(in + i);
    const __mmask8 near_one =
        _mm512_cmplt_epu64_mask(_mm512_sub_epi64(ix, near_low), near_span);
    const __mmask8 not_normal = _mm512_cmpgt_epu64_mask(
        _mm512_sub_epi64(_mm512_srli_epi64(ix, 48), top_low), top_span);
    const __m512i tmp = _mm512_sub_epi64(ix, offset);
    const __m512i slot =
        _mm512_slli_epi64(_mm512_and_si512(_mm512_srli_epi64(tmp, 45), index_mask), 1);
    const __m512d invc = _mm512_i64gather_pd(slot, table::kInvcLogc, 8);
    const __m512d logc = _mm512_i64gather_pd(slot, table::kInvcLogc + 1, 8);
    const __m512d k = _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52));
    const __m512d z =
        _mm512_castsi512_pd(_mm512_sub_epi64(ix, _mm512_and_si512(tmp, exponent_field)));
    const __m512d r = _mm512_fmadd_pd(z, invc, minus_one);
    const __m512d w = _mm512_fmadd_pd(k, ln2_hi, logc);
    const __m512d hi = _mm512_add_pd(w, r);
    const __m512d lo = _mm512_fmadd_pd(k, ln2_lo, _mm512_add_pd(_mm512_sub_pd(w, hi), r));
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d poly =
        _mm512_fmadd_pd(_mm512_fmadd_pd(r, a4, a3), r2, _mm512_fmadd_pd(r, a2, a1));
    const __m512d y =
        _mm512_fmadd_pd(_mm512_mul_pd(r, r2), poly, _mm512_fmadd_pd(r2, a0, lo));
    _mm512_storeu_pd(out + i, _mm512_add_pd(y, hi));
    for (unsigned other = near_one | not_normal; other != 0; other &= other - 1) {
      const std::size_t lane = i + static_cast<std::size_t>(std::countr_zero(other));
      out[lane] = std::log(in[lane]);
    }
  }
  scalar_kernel(in + i, out + i, n - i);
}

__attribute__((target("avx2,fma"))) void avx2_kernel(const double* in, double* out,
                                                      std::size_t n) {
  // AVX2 compares 64-bit lanes only as signed numbers: flipping the sign bit
  // of both sides turns the unsigned test into a signed one.
  const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000));
  const __m256i near_low = _mm256_set1_epi64x(kNearOneLow);
  const __m256i near_span_signed =
      _mm256_set1_epi64x(static_cast<long long>(kNearOneSpan ^ 0x8000000000000000));
  const __m256i top_below = _mm256_set1_epi64x(kTopLow);
  const __m256i top_above = _mm256_set1_epi64x(kTopLow + kTopSpan);
  const __m256i offset = _mm256_set1_epi64x(kReductionOffset);
  const __m256i exponent_field = _mm256_set1_epi64x(static_cast<long long>(kExponentField));
  const __m256i index_mask = _mm256_set1_epi64x(127);
  // k is the top 12 bits of tmp, signed: the high 32-bit halves shifted
  // arithmetically by 20, gathered into four 32-bit integers.
  const __m256i high_halves = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
  const __m256d minus_one = _mm256_set1_pd(-1.0);
  const __m256d ln2_hi = _mm256_set1_pd(table::kLn2Hi);
  const __m256d ln2_lo = _mm256_set1_pd(table::kLn2Lo);
  const __m256d a0 = _mm256_set1_pd(table::kPoly[0]);
  const __m256d a1 = _mm256_set1_pd(table::kPoly[1]);
  const __m256d a2 = _mm256_set1_pd(table::kPoly[2]);
  const __m256d a3 = _mm256_set1_pd(table::kPoly[3]);
  const __m256d a4 = _mm256_set1_pd(table::kPoly[4]);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i ix = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i near_one = _mm256_cmpgt_epi64(
        near_span_signed, _mm256_xor_si256(_mm256_sub_epi64(ix, near_low), sign));
    const __m256i top = _mm256_srli_epi64(ix, 48);
    const __m256i not_normal = _mm256_or_si256(_mm256_cmpgt_epi64(top_below, top),
                                               _mm256_cmpgt_epi64(top, top_above));
    const __m256i tmp = _mm256_sub_epi64(ix, offset);
    const __m256i slot =
        _mm256_slli_epi64(_mm256_and_si256(_mm256_srli_epi64(tmp, 45), index_mask), 1);
    const __m256d invc = _mm256_i64gather_pd(table::kInvcLogc, slot, 8);
    const __m256d logc = _mm256_i64gather_pd(table::kInvcLogc + 1, slot, 8);
    const __m256d k = _mm256_cvtepi32_pd(_mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(_mm256_srai_epi32(tmp, 20), high_halves)));
    const __m256d z =
        _mm256_castsi256_pd(_mm256_sub_epi64(ix, _mm256_and_si256(tmp, exponent_field)));
    const __m256d r = _mm256_fmadd_pd(z, invc, minus_one);
    const __m256d w = _mm256_fmadd_pd(k, ln2_hi, logc);
    const __m256d hi = _mm256_add_pd(w, r);
    const __m256d lo = _mm256_fmadd_pd(k, ln2_lo, _mm256_add_pd(_mm256_sub_pd(w, hi), r));
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d poly =
        _mm256_fmadd_pd(_mm256_fmadd_pd(r, a4, a3), r2, _mm256_fmadd_pd(r, a2, a1));
    const __m256d y =
        _mm256_fmadd_pd(_mm256_mul_pd(r, r2), poly, _mm256_fmadd_pd(r2, a0, lo));
    _mm256_storeu_pd(out + i, _mm256_add_pd(y, hi));
    auto other = static_cast<unsigned>(
        _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_or_si256(near_one, not_normal))));
    for (; other != 0; other &= other - 1) {
      const std::size_t lane = i + static_cast<std::size_t>(std::countr_zero(other));
      out[lane] = std::log(in[lane]);
    }
  }
  scalar_kernel(in + i, out + i, n - i);
}

#pragma GCC diagnostic pop

#endif  // TARNWEX_X86_KERNELS

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
#ifdef TARNWEX_X86_KERNELS
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
#ifdef TARNWEX_X86_KERNELS
    case LogKernel::kAvx512:
      return avx512_kernel(in, out, n);
    case LogKernel::kAvx2:
      return avx2_kernel(in, out, n);
#endif
    default:
      return scalar_kernel(in, out, n);
  }
}

LogKernel selected_log_kernel() {
  static const LogKernel kernel = choose_kernel();
  return kernel;
}

void batch_log(const double* in, double* out, std::size_t n) {
  batch_log_with(selected_log_kernel(), in, out, n);
}

}  // namespace tarnwex
