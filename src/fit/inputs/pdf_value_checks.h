// The checks every new set of PDF values passes before the likelihood uses
// it. They run over whole arrays once per new shape point, so they are
// written as branch-free block scans the compiler can vectorise; only a
// block that holds a failure is searched again, element by element, for the
// first one, so the reported event is the same as that of a plain scan.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace tarnwex {

// What a PDF may return: finite and not negative. NaN fails both
// comparisons; -0.0 >= 0.0 holds.
inline bool valid_value(double v) {
  return v >= 0.0 && v <= std::numeric_limits<double>::max();
}

// A mark whose top bit is set exactly when v is infinite or NaN: their
// exponent bits are all ones, and adding one to those bits carries into the
// top bit. Marks OR-ed over many values test them all with integer
// operations, in a loop without early exit that vectorises.
inline std::uint64_t non_finite_mark(double v) {
  return (std::bit_cast<std::uint64_t>(v) & 0x7ff0000000000000) + 0x0010000000000000;
}
inline bool some_non_finite(std::uint64_t marks) { return (marks >> 63) != 0; }

struct CheckedValues {
  // Index of the first value that is not finite or is negative (negative
  // zero passes), or values.size().
  std::size_t first_invalid;
  bool has_zero;              // some value is zero (either sign)
};

// Both checks of a PDF's own values in one read of them.
CheckedValues check_values(std::span<const double> values);
// Copies `source` to `target` (room for source.size() values) and checks the
// values on the way: one read of them does both.
CheckedValues copy_checking_values(std::span<const double> source, double* target);

// Index of the first event from `first` on at which every column is zero
// (either sign), or n_events. Every column holds at least n_events values,
// all of which pass check_values.
std::size_t first_all_zero_event(std::span<const std::span<const double>> columns,
                                 std::size_t n_events, std::size_t first = 0);

}  // namespace tarnwex
