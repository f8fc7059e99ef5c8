#include "fit/likelihood/column_reuse.h"

#include <bit>

namespace tarnwex {

ColumnReuse::ColumnReuse(std::size_t n_components, std::size_t n_shapes)
    : n_shapes_(n_shapes),
      dependence_(n_components * n_shapes, Dependence::unknown),
      last_bits_(n_components * n_shapes, 0),
      has_column_(n_components, false) {}

ColumnReuse::Plan ColumnReuse::plan(std::size_t k, std::span<const double> point) const {
  if (!enabled_ || !has_column_[k] || point.size() != n_shapes_) return {};
  // Points compare by their bits, as the memo's do: 0.0 and -0.0 differ.
  std::size_t moved = 0;
  std::size_t unknown = 0;
  std::size_t judged = 0;
  for (std::size_t i = 0; i < n_shapes_; ++i) {
    if (std::bit_cast<std::uint64_t>(point[i]) == last_bits_[k * n_shapes_ + i]) continue;
    ++moved;
    switch (dependence(k, i)) {
      case Dependence::depends:
        return {};
      case Dependence::unknown:
        ++unknown;
        judged = i;
        break;
      case Dependence::ignores:
        break;
    }
  }
  // The same point asks the PDF as before: its own cache answers.
  if (moved == 0) return {};
  if (unknown == 0) return {Action::reuse, 0};
  // Only a move of one parameter whose effect is unknown, all others being
  // ones the PDF ignores, tells what that parameter does.
  if (unknown == 1) return {Action::learn, judged};
  return {};
}

void ColumnReuse::called(std::size_t k, std::span<const double> point) {
  if (point.size() != n_shapes_) {
    has_column_[k] = false;
    return;
  }
  for (std::size_t i = 0; i < n_shapes_; ++i) {
    last_bits_[k * n_shapes_ + i] = std::bit_cast<std::uint64_t>(point[i]);
  }
  has_column_[k] = true;
}

void ColumnReuse::learned(std::size_t k, std::size_t parameter, bool same) {
  dependence(k, parameter) = same ? Dependence::ignores : Dependence::depends;
}

}  // namespace tarnwex
