// Recently computed likelihood values, keyed by the exact bits of the point.
//
// A minimizer asks for the same point more than once: the start of a line
// search is where the last step ended, a refinement re-evaluates its lower
// end, finite differences meet at shared points. The likelihood is a pure
// function of the point (given deterministic PDFs), so a repeat can be
// answered without another pass over the events and without calling the
// PDFs. Only successful values are kept: a failed point is evaluated again,
// so that its error is reported as it arises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "minimizer/types.h"

namespace tarnwex {

class LikelihoodMemo {
 public:
  // A few dozen points cover a line search, a gradient's neighbourhood and
  // the steps of a refinement; a lookup stays a short linear scan.
  static constexpr std::size_t kCapacity = 32;

  // At least `capacity` entries (never fewer than kCapacity).
  explicit LikelihoodMemo(std::size_t capacity = kCapacity);

  // The value stored for exactly these bits (0.0 and -0.0 differ, a NaN
  // matches the same NaN), refreshed as the most recently used.
  std::optional<double> find(std::span<const double> point);

  // The value stored for exactly these bits, leaving the order of use as it
  // is: a look that is not a use.
  std::optional<double> peek(std::span<const double> point) const;

  // Stores a value, evicting the least recently used entry when full.
  void store(std::span<const double> point, double value);

  // Forgets every value and the gradient.
  void clear();

  // The last gradient stored, if it was stored for exactly these bits. One
  // is enough: a line search starts where the last one ended, at the point
  // of the last gradient it computed.
  std::optional<Vector> find_gradient(std::span<const double> point) const;
  void store_gradient(std::span<const double> point, const Vector& gradient);
  void forget_gradient();

 private:
  struct Entry {
    std::vector<std::uint64_t> bits;
    double value = 0.0;
    std::uint64_t last_use = 0;
  };

  const Entry* lookup(std::span<const double> point) const;
  Entry* lookup(std::span<const double> point) {
    return const_cast<Entry*>(std::as_const(*this).lookup(point));
  }

  std::vector<Entry> entries_;
  std::vector<std::uint64_t> gradient_bits_;
  std::optional<Vector> gradient_;
  std::size_t capacity_;
  std::uint64_t clock_ = 0;
};

}  // namespace tarnwex
