// The C library's log on eight or four doubles at a time (fit/batch_log/log_lanes.inc),
// compiled once per instruction set: tarnwex::avx512::log_lanes and
// log_array, tarnwex::avx2::log_lanes and log_array. fit/batch_log/batch_log.h decides
// whether they may be used.
#pragma once

#include <cstdint>

#include "fit/batch_log/simd_lanes.h"

// Where the library's main path ends, for the kernels and for the inputs that
// check them.
namespace tarnwex::log_kernels {

inline constexpr std::uint64_t kNearOneLow = 0x3fee000000000000;   // bits of 1 - 2^-4
inline constexpr std::uint64_t kNearOneSpan = 0x0003090000000000;  // up to 1 + 0x1.09p-4
inline constexpr std::uint64_t kTopLow = 0x0010;                   // smallest normal exponent
inline constexpr std::uint64_t kTopSpan = 0x7fdf;                  // ... up to the largest finite
inline constexpr std::uint64_t kReductionOffset = 0x3fe6000000000000;
inline constexpr std::uint64_t kExponentField = 0xfff0000000000000;

}  // namespace tarnwex::log_kernels

#ifdef TARNWEX_X86_LANES

#include <bit>
#include <cmath>
#include <cstddef>

#include "fit/batch_log/library_log.h"
#include "fit/batch_log/log_table.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TARNWEX_BEGIN_AVX512
namespace tarnwex::avx512 {
#include "fit/batch_log/log_lanes.inc"
}  // namespace tarnwex::avx512
TARNWEX_END_LANES

TARNWEX_BEGIN_AVX2
namespace tarnwex::avx2 {
#include "fit/batch_log/log_lanes.inc"
}  // namespace tarnwex::avx2
TARNWEX_END_LANES

#pragma GCC diagnostic pop

#endif
