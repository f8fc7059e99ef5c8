// density_exp's algorithm (fit/batch_exp/exp_lanes.inc) compiled once per
// instruction set, tarnwex::avx512::exp_array and tarnwex::avx2::exp_array,
// and for a single lane (fit/batch_exp/one_lane.inc): tarnwex::one_lane, in
// plain code, and tarnwex::avx2::one_lane, with the FMA instruction.
// fit/batch_exp/batch_exp.cc decides which may be used.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fit/batch_exp/batch_exp.h"
#include "fit/batch_exp/exp_table.h"
#include "fit/batch_log/simd_lanes.h"

namespace tarnwex::one_lane {
#include "fit/batch_exp/one_lane.inc"
#include "fit/batch_exp/exp_lanes.inc"
}  // namespace tarnwex::one_lane

#ifdef TARNWEX_X86_LANES

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

TARNWEX_BEGIN_AVX512
namespace tarnwex::avx512 {
#include "fit/batch_exp/exp_lanes.inc"
}  // namespace tarnwex::avx512
TARNWEX_END_LANES

TARNWEX_BEGIN_AVX2
namespace tarnwex::avx2 {
#include "fit/batch_exp/exp_lanes.inc"
}  // namespace tarnwex::avx2

namespace tarnwex::avx2::one_lane {
#include "fit/batch_exp/one_lane.inc"
#include "fit/batch_exp/exp_lanes.inc"
}  // namespace tarnwex::avx2::one_lane
TARNWEX_END_LANES

#pragma GCC diagnostic pop

#endif
