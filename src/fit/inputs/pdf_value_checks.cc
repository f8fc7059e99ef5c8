#include "fit/inputs/pdf_value_checks.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>

namespace tarnwex {

namespace {

// Long enough for the loop overhead to vanish, short enough that a block
// of sums stays in the first-level cache.
constexpr std::size_t kBlock = 512;

// The second scans, of a block that holds a zero or an invalid value, count
// their hits in a double: the compiler vectorises a floating-point count
// under strict IEEE semantics where it leaves an integer flag of a
// floating-point comparison scalar. Counts stay far below 2^53, so they are
// exact. (The first scan of every block works on the bits instead:
// some_not_positive.)

double count_invalid(const double* values, std::size_t length) {
  double invalid = 0.0;
  for (std::size_t i = 0; i < length; ++i) invalid += valid_value(values[i]) ? 0.0 : 1.0;
  return invalid;
}

// Whether some value is not positive and finite (zero, negative, infinite or
// NaN), copying the values to `target` unless it is null. On the bits b of a
// value, x = b - 1 is at most 0x7feffffffffffffe exactly when the value is
// positive and finite; for every other value the top bit of x or of
// x + 0x0010000000000001 is set. Integer operations only, so the scan
// vectorises and has no chain of dependent floating-point additions.
template <bool kCopy>
bool some_not_positive(const double* values, double* target, std::size_t length) {
  constexpr std::uint64_t kPastLargest = 0x0010000000000001;
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t x = std::bit_cast<std::uint64_t>(values[i]) - 1;
    if constexpr (kCopy) target[i] = values[i];
    seen |= x | (x + kPastLargest);
  }
  return (seen >> 63) != 0;
}

std::size_t first_failure_in_block(const double* data, std::size_t start, std::size_t end) {
  for (std::size_t e = start; e < end; ++e) {
    if (!valid_value(data[e])) return e;
  }
  return end;
}

double count_zero(const double* values, std::size_t length) {
  double zero = 0.0;
  for (std::size_t i = 0; i < length; ++i) zero += values[i] == 0.0 ? 1.0 : 0.0;
  return zero;
}

template <bool kCopy>
CheckedValues check_blocks(std::span<const double> source, double* target) {
  const double* data = source.data();
  const std::size_t n = source.size();
  CheckedValues found{n, false};
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t end = std::min(n, start + kBlock);
    // The copy goes on past a failure: the caller keeps every value. Most
    // blocks hold neither a zero nor an invalid value and cost one scan; a
    // block that does is scanned again for each.
    if (!some_not_positive<kCopy>(data + start, kCopy ? target + start : nullptr, end - start)) {
      continue;
    }
    if (count_zero(data + start, end - start) != 0.0) found.has_zero = true;
    if (found.first_invalid == n && count_invalid(data + start, end - start) != 0.0) {
      found.first_invalid = first_failure_in_block(data, start, end);
    }
  }
  return found;
}

}  // namespace

CheckedValues check_values(std::span<const double> values) {
  return check_blocks<false>(values, nullptr);
}

CheckedValues copy_checking_values(std::span<const double> source, double* target) {
  return check_blocks<true>(source, target);
}

// Runs once every column has passed check_values: the values are
// finite and not negative, so a sum over the columns is zero exactly when
// every term is (a sum of such values is at least its largest term).
std::size_t first_all_zero_event(std::span<const std::span<const double>> columns,
                                 std::size_t n_events, std::size_t first) {
  std::array<double, kBlock> sums{};
  for (std::size_t start = first; start < n_events; start += kBlock) {
    const std::size_t length = std::min(n_events - start, kBlock);
    std::fill_n(sums.begin(), length, 0.0);
    for (const auto& column : columns) {
      const double* values = column.data() + start;
      for (std::size_t i = 0; i < length; ++i) sums[i] += values[i];
    }
    if (count_zero(sums.data(), length) == 0.0) continue;
    for (std::size_t i = 0; i < length; ++i) {
      if (sums[i] == 0.0) return start + i;
    }
  }
  return n_events;
}

}  // namespace tarnwex
