#include "fit/pdf_value_checks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

namespace tarnwex {

namespace {

// Long enough for the loop overhead to vanish, short enough that a block
// of flags stays in the first-level cache.
constexpr std::size_t kBlock = 512;

bool valid_value(double v) {
  // NaN fails both comparisons; -0.0 >= 0.0 holds.
  return v >= 0.0 && v <= std::numeric_limits<double>::max();
}

}  // namespace

std::size_t first_invalid_value(std::span<const double> values) {
  const double* data = values.data();
  const std::size_t n = values.size();
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t end = std::min(n, start + kBlock);
    unsigned invalid = 0;
    for (std::size_t e = start; e < end; ++e) invalid |= valid_value(data[e]) ? 0u : 1u;
    if (invalid == 0) continue;
    for (std::size_t e = start; e < end; ++e) {
      if (!valid_value(data[e])) return e;
    }
  }
  return n;
}

std::size_t first_all_zero_event(std::span<const std::span<const double>> columns,
                                 std::size_t n_events) {
  std::array<std::uint8_t, kBlock> nonzero{};
  for (std::size_t start = 0; start < n_events; start += kBlock) {
    const std::size_t length = std::min(n_events - start, kBlock);
    std::fill_n(nonzero.begin(), length, std::uint8_t{0});
    for (const auto& column : columns) {
      const double* values = column.data() + start;
      for (std::size_t i = 0; i < length; ++i) nonzero[i] |= values[i] != 0.0 ? 1 : 0;
    }
    std::uint8_t all = 1;
    for (std::size_t i = 0; i < length; ++i) all &= nonzero[i];
    if (all != 0) continue;
    for (std::size_t i = 0; i < length; ++i) {
      if (nonzero[i] == 0) return start + i;
    }
  }
  return n_events;
}

}  // namespace tarnwex
