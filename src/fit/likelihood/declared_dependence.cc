#include "fit/likelihood/declared_dependence.h"

#include <bit>

namespace tarnwex {

DeclaredDependence::DeclaredDependence(
    std::vector<std::optional<std::vector<std::size_t>>> declared, std::size_t n_shapes)
    : declared_(std::move(declared)),
      n_shapes_(n_shapes),
      depends_(declared_.size() * n_shapes, 1),
      last_bits_(declared_.size() * n_shapes, 0),
      has_column_(declared_.size(), false) {
  for (std::size_t k = 0; k < declared_.size(); ++k) {
    if (!declared_[k]) continue;
    for (std::size_t i = 0; i < n_shapes; ++i) depends_[k * n_shapes + i] = 0;
    for (const std::size_t i : *declared_[k]) {
      if (i < n_shapes) depends_[k * n_shapes + i] = 1;
    }
  }
}

bool DeclaredDependence::column_holds(std::size_t k, std::span<const double> point) const {
  if (!declared_[k] || !has_column_[k] || point.size() != n_shapes_) return false;
  // Points compare by their bits, as the memo's do: 0.0 and -0.0 differ.
  for (std::size_t i = 0; i < n_shapes_; ++i) {
    if (depends(k, i) &&
        std::bit_cast<std::uint64_t>(point[i]) != last_bits_[k * n_shapes_ + i]) {
      return false;
    }
  }
  return true;
}

void DeclaredDependence::called(std::size_t k, std::span<const double> point) {
  if (point.size() != n_shapes_) {
    has_column_[k] = false;
    return;
  }
  for (std::size_t i = 0; i < n_shapes_; ++i) {
    last_bits_[k * n_shapes_ + i] = std::bit_cast<std::uint64_t>(point[i]);
  }
  has_column_[k] = true;
}

}  // namespace tarnwex
