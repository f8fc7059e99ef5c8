// Which PDFs must be asked again at a new shape point, and which can hand
// over the column they gave last, learnt from the points the fit visits.
//
// A PDF whose output did not change, bit for bit on every event, between
// two points that differ only in one shape parameter does not depend on
// that parameter on this data. From then on a move of that parameter alone
// does not call the PDF: its last column is used again. The judgement is
// made once per PDF and parameter, at the first such pair of points; a PDF
// that ignores a parameter at those points but not elsewhere is caught by
// the caller's check at the fitted point, which then fits again with reuse
// switched off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnwex {

class ColumnReuse {
 public:
  ColumnReuse(std::size_t n_components, std::size_t n_shapes);

  enum class Action {
    call,   // ask the PDF
    learn,  // ask it, and compare its new column with its last one
    reuse,  // use its last column again
  };
  struct Plan {
    Action action = Action::call;
    std::size_t parameter = 0;  // the one parameter a `learn` judges
  };

  // What to do for PDF k at `point` (its shape values in parameter order).
  Plan plan(std::size_t k, std::span<const double> point) const;

  // PDF k's last column was computed at `point`.
  void called(std::size_t k, std::span<const double> point);
  // PDF k's last column is no longer at hand (the PDF ran for someone else).
  void forget(std::size_t k) { has_column_[k] = false; }
  // The outcome of a `learn`: whether the two columns were the same bits.
  void learned(std::size_t k, std::size_t parameter, bool same);

  // From now on every plan is `call`.
  void switch_off() { enabled_ = false; }

 private:
  enum class Dependence : std::uint8_t { unknown, depends, ignores };
  Dependence& dependence(std::size_t k, std::size_t i) { return dependence_[k * n_shapes_ + i]; }
  Dependence dependence(std::size_t k, std::size_t i) const {
    return dependence_[k * n_shapes_ + i];
  }

  std::size_t n_shapes_;
  bool enabled_ = true;
  std::vector<Dependence> dependence_;    // n_components x n_shapes
  std::vector<std::uint64_t> last_bits_;  // n_components x n_shapes: where each last column is
  std::vector<bool> has_column_;
};

}  // namespace tarnwex
