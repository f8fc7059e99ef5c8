// The C library's log on a vector of doubles: the operations of its main
// path, which serves positive normal finite x outside [1 - 2^-4, 1 + 0x1.09p-4):
// the bits of x split into an exponent k and z in [0x3fe6 << 48, twice that),
// z reduced by the table's 1/c to r = z/c - 1, and
// log x = k ln2 + log c + log1p(r). Lanes outside that path are reported in a
// mask and must be recomputed with std::log by the caller. Every operation
// is one of the library's, in its order: the products-plus-sums it fuses are
// fused here and nothing else is (this project contracts nothing).
//
// x86-64 with GCC or Clang only; fit/batch_log.h decides whether they are used.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define TARNWEX_X86_LOG_KERNELS 1

#include <immintrin.h>

#include <cstdint>

#include "fit/log_table.h"

namespace tarnwex::log_kernels {

inline constexpr std::uint64_t kNearOneLow = 0x3fee000000000000;   // bits of 1 - 2^-4
inline constexpr std::uint64_t kNearOneSpan = 0x0003090000000000;  // up to 1 + 0x1.09p-4
inline constexpr std::uint64_t kTopLow = 0x0010;                   // smallest normal exponent
inline constexpr std::uint64_t kTopSpan = 0x7fdf;                  // ... up to the largest finite
inline constexpr std::uint64_t kReductionOffset = 0x3fe6000000000000;
inline constexpr std::uint64_t kExponentField = 0xfff0000000000000;
inline constexpr std::uint64_t kSignBit = 0x8000000000000000;

// GCC 12's AVX-512 headers build some constants from deliberately undefined
// registers, which its own -Wmaybe-uninitialized then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Eight logs; the lanes the library computes another way are set in *library_lanes.
__attribute__((target("avx512f,avx512dq"))) inline __m512d log8(__m512d x,
                                                                __mmask8* library_lanes) {
  namespace table = log_table;
  const __m512i ix = _mm512_castpd_si512(x);
  const __mmask8 near_one = _mm512_cmplt_epu64_mask(
      _mm512_sub_epi64(ix, _mm512_set1_epi64(kNearOneLow)), _mm512_set1_epi64(kNearOneSpan));
  const __mmask8 not_normal = _mm512_cmpgt_epu64_mask(
      _mm512_sub_epi64(_mm512_srli_epi64(ix, 48), _mm512_set1_epi64(kTopLow)),
      _mm512_set1_epi64(kTopSpan));
  *library_lanes = near_one | not_normal;
  const __m512i tmp = _mm512_sub_epi64(ix, _mm512_set1_epi64(kReductionOffset));
  const __m512i slot = _mm512_slli_epi64(
      _mm512_and_si512(_mm512_srli_epi64(tmp, 45), _mm512_set1_epi64(127)), 1);
  const __m512d invc = _mm512_i64gather_pd(slot, table::kInvcLogc, 8);
  const __m512d logc = _mm512_i64gather_pd(slot, table::kInvcLogc + 1, 8);
  const __m512d k = _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52));
  const __m512d z = _mm512_castsi512_pd(_mm512_sub_epi64(
      ix, _mm512_and_si512(tmp, _mm512_set1_epi64(static_cast<long long>(kExponentField)))));
  const __m512d r = _mm512_fmadd_pd(z, invc, _mm512_set1_pd(-1.0));
  const __m512d w = _mm512_fmadd_pd(k, _mm512_set1_pd(table::kLn2Hi), logc);
  const __m512d hi = _mm512_add_pd(w, r);
  const __m512d lo = _mm512_fmadd_pd(k, _mm512_set1_pd(table::kLn2Lo),
                                     _mm512_add_pd(_mm512_sub_pd(w, hi), r));
  const __m512d r2 = _mm512_mul_pd(r, r);
  const __m512d poly = _mm512_fmadd_pd(
      _mm512_fmadd_pd(r, _mm512_set1_pd(table::kPoly[4]), _mm512_set1_pd(table::kPoly[3])), r2,
      _mm512_fmadd_pd(r, _mm512_set1_pd(table::kPoly[2]), _mm512_set1_pd(table::kPoly[1])));
  const __m512d y = _mm512_fmadd_pd(_mm512_mul_pd(r, r2), poly,
                                    _mm512_fmadd_pd(r2, _mm512_set1_pd(table::kPoly[0]), lo));
  return _mm512_add_pd(y, hi);
}

// Four logs; the lanes the library computes another way are set in the low
// four bits of *library_lanes.
__attribute__((target("avx2,fma"))) inline __m256d log4(__m256d x, unsigned* library_lanes) {
  namespace table = log_table;
  const __m256i ix = _mm256_castpd_si256(x);
  // AVX2 compares 64-bit lanes only as signed numbers: flipping the sign bit
  // of both sides turns the unsigned test into a signed one.
  const __m256i near_one = _mm256_cmpgt_epi64(
      _mm256_set1_epi64x(static_cast<long long>(kNearOneSpan ^ kSignBit)),
      _mm256_xor_si256(_mm256_sub_epi64(ix, _mm256_set1_epi64x(kNearOneLow)),
                       _mm256_set1_epi64x(static_cast<long long>(kSignBit))));
  const __m256i top = _mm256_srli_epi64(ix, 48);
  const __m256i not_normal =
      _mm256_or_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(kTopLow), top),
                      _mm256_cmpgt_epi64(top, _mm256_set1_epi64x(kTopLow + kTopSpan)));
  *library_lanes = static_cast<unsigned>(
      _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_or_si256(near_one, not_normal))));
  const __m256i tmp = _mm256_sub_epi64(ix, _mm256_set1_epi64x(kReductionOffset));
  const __m256i slot = _mm256_slli_epi64(
      _mm256_and_si256(_mm256_srli_epi64(tmp, 45), _mm256_set1_epi64x(127)), 1);
  const __m256d invc = _mm256_i64gather_pd(table::kInvcLogc, slot, 8);
  const __m256d logc = _mm256_i64gather_pd(table::kInvcLogc + 1, slot, 8);
  // k is the top 12 bits of tmp, signed: the high 32-bit halves shifted
  // arithmetically by 20, gathered into four 32-bit integers.
  const __m256d k = _mm256_cvtepi32_pd(_mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
      _mm256_srai_epi32(tmp, 20), _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7))));
  const __m256d z = _mm256_castsi256_pd(_mm256_sub_epi64(
      ix, _mm256_and_si256(tmp, _mm256_set1_epi64x(static_cast<long long>(kExponentField)))));
  const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
  const __m256d w = _mm256_fmadd_pd(k, _mm256_set1_pd(table::kLn2Hi), logc);
  const __m256d hi = _mm256_add_pd(w, r);
  const __m256d lo = _mm256_fmadd_pd(k, _mm256_set1_pd(table::kLn2Lo),
                                     _mm256_add_pd(_mm256_sub_pd(w, hi), r));
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d poly = _mm256_fmadd_pd(
      _mm256_fmadd_pd(r, _mm256_set1_pd(table::kPoly[4]), _mm256_set1_pd(table::kPoly[3])), r2,
      _mm256_fmadd_pd(r, _mm256_set1_pd(table::kPoly[2]), _mm256_set1_pd(table::kPoly[1])));
  const __m256d y = _mm256_fmadd_pd(_mm256_mul_pd(r, r2), poly,
                                    _mm256_fmadd_pd(r2, _mm256_set1_pd(table::kPoly[0]), lo));
  return _mm256_add_pd(y, hi);
}

#pragma GCC diagnostic pop

}  // namespace tarnwex::log_kernels

#endif
