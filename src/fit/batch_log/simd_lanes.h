// Eight or four doubles at a time: the vector operations the batched
// logarithm and the event loop need, once per instruction set, so that each
// algorithm is written once (against `Lanes`) and compiled for both sets.
//
// Code for one set lives between TARNWEX_BEGIN_AVX512 (or _AVX2) and
// TARNWEX_END_LANES, in namespace tarnwex::avx512 (or ::avx2): the compiler
// then emits that set's instructions there and nowhere else, and the caller
// must make sure the processor has them (log_kernel_runs_here). A masked
// comparison gives one bit per lane, lane 0 lowest.
//
// x86-64 with GCC or Clang only.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define TARNWEX_X86_LANES 1

#include <immintrin.h>

#include <cstdint>

// Clang has no GCC target pragmas: its own pragma gives every function of the
// region, member functions and lambdas included, the same target attribute.
#if defined(__clang__)
#define TARNWEX_BEGIN_AVX512                                                      \
  _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx512dq\"))), \
           apply_to = function)")
#define TARNWEX_BEGIN_AVX2 \
  _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define TARNWEX_END_LANES _Pragma("clang attribute pop")
#else
#define TARNWEX_BEGIN_AVX512 \
  _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512dq\")")
#define TARNWEX_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")
#define TARNWEX_END_LANES _Pragma("GCC pop_options")
#endif

// GCC 12's AVX-512 headers build some constants from deliberately undefined
// registers, which its own -Wmaybe-uninitialized then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TARNWEX_BEGIN_AVX512
namespace tarnwex::avx512 {

struct Lanes {
  static constexpr int kCount = 8;
  static constexpr unsigned kAll = 0xff;
  using Doubles = __m512d;
  using Bits = __m512i;

  static Doubles load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, Doubles v) { _mm512_storeu_pd(p, v); }
  static Doubles splat(double v) { return _mm512_set1_pd(v); }
  static Doubles add(Doubles a, Doubles b) { return _mm512_add_pd(a, b); }
  static Doubles sub(Doubles a, Doubles b) { return _mm512_sub_pd(a, b); }
  static Doubles mul(Doubles a, Doubles b) { return _mm512_mul_pd(a, b); }
  static Doubles div(Doubles a, Doubles b) { return _mm512_div_pd(a, b); }
  static Doubles negate(Doubles a) { return _mm512_xor_pd(a, _mm512_set1_pd(-0.0)); }
  // p > q ? a : 0, lane by lane.
  static Doubles keep_greater(Doubles p, Doubles q, Doubles a) {
    return _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(p, q, _CMP_GT_OQ), a);
  }
  static Doubles fused(Doubles a, Doubles b, Doubles c) { return _mm512_fmadd_pd(a, b, c); }
  // a > b ? a : b, for numbers (MAXPD).
  static Doubles max(Doubles a, Doubles b) { return _mm512_max_pd(a, b); }
  static Doubles abs(Doubles a) { return _mm512_abs_pd(a); }
  static unsigned less_equal(Doubles a, Doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static unsigned greater_equal(Doubles a, Doubles b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ);
  }
  static unsigned equal(Doubles a, Doubles b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }

  static Bits bits(Doubles v) { return _mm512_castpd_si512(v); }
  static Doubles doubles(Bits v) { return _mm512_castsi512_pd(v); }
  static Bits splat_bits(std::uint64_t v) { return _mm512_set1_epi64(static_cast<long long>(v)); }
  static Bits add(Bits a, Bits b) { return _mm512_add_epi64(a, b); }
  static Bits sub(Bits a, Bits b) { return _mm512_sub_epi64(a, b); }
  static Bits bit_and(Bits a, Bits b) { return _mm512_and_si512(a, b); }
  static Bits shift_right(Bits v, int n) { return _mm512_srli_epi64(v, n); }
  static Bits shift_left(Bits v, int n) { return _mm512_slli_epi64(v, n); }
  // a < b as unsigned 64-bit numbers.
  static unsigned below(Bits a, Bits b) { return _mm512_cmplt_epu64_mask(a, b); }
  // The top 12 bits of each lane as a signed integer, converted to double.
  static Doubles top_bits_as_double(Bits v) { return _mm512_cvtepi64_pd(_mm512_srai_epi64(v, 52)); }
  static Doubles gather(const double* base, Bits index) {
    return _mm512_i64gather_pd(index, base, 8);
  }
  // table[index] for a table of 8 doubles and indices below 8, from one
  // register: no memory access per lane.
  static Doubles lookup8(const double* table, Bits index) {
    return _mm512_permutexvar_pd(index, load(table));
  }
};

}  // namespace tarnwex::avx512
TARNWEX_END_LANES

TARNWEX_BEGIN_AVX2
namespace tarnwex::avx2 {

struct Lanes {
  static constexpr int kCount = 4;
  static constexpr unsigned kAll = 0xf;
  using Doubles = __m256d;
  using Bits = __m256i;

  static Doubles load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, Doubles v) { _mm256_storeu_pd(p, v); }
  static Doubles splat(double v) { return _mm256_set1_pd(v); }
  static Doubles add(Doubles a, Doubles b) { return _mm256_add_pd(a, b); }
  static Doubles sub(Doubles a, Doubles b) { return _mm256_sub_pd(a, b); }
  static Doubles mul(Doubles a, Doubles b) { return _mm256_mul_pd(a, b); }
  static Doubles div(Doubles a, Doubles b) { return _mm256_div_pd(a, b); }
  static Doubles negate(Doubles a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
  static Doubles keep_greater(Doubles p, Doubles q, Doubles a) {
    return _mm256_and_pd(a, _mm256_cmp_pd(p, q, _CMP_GT_OQ));
  }
  static Doubles fused(Doubles a, Doubles b, Doubles c) { return _mm256_fmadd_pd(a, b, c); }
  static Doubles max(Doubles a, Doubles b) { return _mm256_max_pd(a, b); }
  static Doubles abs(Doubles a) {
    return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff)));
  }
  static unsigned less_equal(Doubles a, Doubles b) { return mask(_mm256_cmp_pd(a, b, _CMP_LE_OQ)); }
  static unsigned greater_equal(Doubles a, Doubles b) {
    return mask(_mm256_cmp_pd(a, b, _CMP_GE_OQ));
  }
  static unsigned equal(Doubles a, Doubles b) { return mask(_mm256_cmp_pd(a, b, _CMP_EQ_OQ)); }

  static Bits bits(Doubles v) { return _mm256_castpd_si256(v); }
  static Doubles doubles(Bits v) { return _mm256_castsi256_pd(v); }
  static Bits splat_bits(std::uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
  static Bits add(Bits a, Bits b) { return _mm256_add_epi64(a, b); }
  static Bits sub(Bits a, Bits b) { return _mm256_sub_epi64(a, b); }
  static Bits bit_and(Bits a, Bits b) { return _mm256_and_si256(a, b); }
  static Bits shift_right(Bits v, int n) { return _mm256_srli_epi64(v, n); }
  static Bits shift_left(Bits v, int n) { return _mm256_slli_epi64(v, n); }
  // AVX2 compares 64-bit lanes only as signed numbers: flipping the sign bit
  // of both sides turns the unsigned test into a signed one.
  static unsigned below(Bits a, Bits b) {
    const Bits sign = splat_bits(0x8000000000000000);
    return mask(_mm256_castsi256_pd(
        _mm256_cmpgt_epi64(_mm256_xor_si256(b, sign), _mm256_xor_si256(a, sign))));
  }
  // The top 12 bits are those of the high 32-bit halves shifted
  // arithmetically by 20, gathered into four 32-bit integers.
  static Doubles top_bits_as_double(Bits v) {
    return _mm256_cvtepi32_pd(_mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
        _mm256_srai_epi32(v, 20), _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7))));
  }
  static Doubles gather(const double* base, Bits index) {
    return _mm256_i64gather_pd(base, index, 8);
  }
  // table[index] for a table of 8 doubles and indices below 8, from two
  // registers: each picks by the index's low two bits (moving the 32-bit
  // halves 2i and 2i + 1), and bit 2 picks between the two.
  static Doubles lookup8(const double* table, Bits index) {
    const Bits twice = _mm256_slli_epi64(_mm256_and_si256(index, splat_bits(3)), 1);
    const Bits halves = _mm256_add_epi64(_mm256_or_si256(twice, _mm256_slli_epi64(twice, 32)),
                                         splat_bits(std::uint64_t{1} << 32));
    const Doubles low = _mm256_castps_pd(
        _mm256_permutevar8x32_ps(_mm256_castpd_ps(load(table)), halves));
    const Doubles high = _mm256_castps_pd(
        _mm256_permutevar8x32_ps(_mm256_castpd_ps(load(table + 4)), halves));
    return _mm256_blendv_pd(low, high, _mm256_castsi256_pd(_mm256_slli_epi64(index, 61)));
  }

 private:
  static unsigned mask(Doubles comparison) {
    return static_cast<unsigned>(_mm256_movemask_pd(comparison));
  }
};

}  // namespace tarnwex::avx2
TARNWEX_END_LANES

#pragma GCC diagnostic pop

#endif
