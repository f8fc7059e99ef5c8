// Which PDFs must be asked again at a new shape point: those that depend on
// a shape parameter that has moved since their last column. A PDF that
// declares the parameters it depends on is asked again only when one of
// those has moved; one that declares nothing may depend on every one, and
// is asked at every new point (its own cache answers a repeated one).
//
// Nothing here is learnt from the PDFs' outputs: a declaration is the
// caller's knowledge, and JointLikelihood::check_declarations checks it at
// the fitted point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarnwex {

class DeclaredDependence {
 public:
  // `declared[k]`, when present, lists the indices of the shape parameters
  // PDF k depends on (in any order); absent, PDF k may depend on all.
  DeclaredDependence(std::vector<std::optional<std::vector<std::size_t>>> declared,
                     std::size_t n_shapes);

  // Whether PDF k's last column holds at `point` (its shape values in
  // parameter order): the PDF declared its parameters, a column is at hand,
  // and none of the declared parameters has moved since, bit for bit.
  bool column_holds(std::size_t k, std::span<const double> point) const;

  // PDF k's last column was computed at `point`.
  void called(std::size_t k, std::span<const double> point);
  // PDF k's last column is gone: it is about to run again, for whatever
  // purpose and with whatever outcome, and its new output replaces the old.
  void forget(std::size_t k) { has_column_[k] = false; }

  bool declares(std::size_t k) const { return declared_[k].has_value(); }
  // Whether PDF k declares shape parameter i.
  bool depends(std::size_t k, std::size_t i) const { return depends_[k * n_shapes_ + i] != 0; }
  // The point of PDF k's last column (meaningful while one is at hand).
  std::span<const std::uint64_t> last_point(std::size_t k) const {
    return {last_bits_.data() + k * n_shapes_, n_shapes_};
  }

 private:
  std::vector<std::optional<std::vector<std::size_t>>> declared_;
  std::size_t n_shapes_;
  std::vector<std::uint8_t> depends_;     // n_components x n_shapes
  std::vector<std::uint64_t> last_bits_;  // n_components x n_shapes
  std::vector<bool> has_column_;
};

}  // namespace tarnwex
