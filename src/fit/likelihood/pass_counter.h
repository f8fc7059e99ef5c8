// Counts of the likelihood's passes over the events and of the distinct
// points they were made at, for measuring how much work a fit repeats.
//
// Compiled in only with the TARNWEX_COUNT_PASSES definition (the CMake option
// of the same name); otherwise every operation here is an empty inline
// function and the module keeps no state between calls.
#pragma once

#include <cstdint>
#include <span>

namespace tarnwex {

struct PassCounts {
  std::uint64_t passes = 0;
  std::uint64_t distinct_points = 0;
};

#ifdef TARNWEX_COUNT_PASSES
// One pass over the events at the point (yields, shape values).
void count_pass(std::span<const double> yields, std::span<const double> shape_values);
// The counts since the last call, which starts a new count.
PassCounts take_pass_counts();
inline constexpr bool kCountingPasses = true;
#else
inline void count_pass(std::span<const double>, std::span<const double>) {}
inline PassCounts take_pass_counts() { return {}; }
inline constexpr bool kCountingPasses = false;
#endif

}  // namespace tarnwex
