// What the event loops over a fitted model share (the yield information's
// and the sWeights'): the model's columns and yields with the component
// count fixed at compile time, and their one error.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/model/mixture_density.h"

namespace tarnwex::model_detail {

inline std::unexpected<SPlotError> density_not_positive(std::size_t e) {
  return std::unexpected(SPlotError::optimization("mixture density is not positive for event " +
                                                  std::to_string(e)));
}

// The two event loops over a fitted model. K > 0 fixes the component count at
// compile time, so the loops unroll and the running sums stay in registers
// instead of in the matrix (which the compiler must assume the column reads
// could alias); K = 0 serves any count. Both form the same terms and sums,
// in the same order.
template <std::size_t K>
struct Components {
  explicit Components(const std::vector<std::span<const double>>& columns,
                      std::span<const double> yields)
      : count(K == 0 ? columns.size() : K),
        n_event_count(columns.front().size()),
        column(count),
        yield(yields.begin(), yields.end()) {
    for (std::size_t k = 0; k < count; ++k) column[k] = columns[k].data();
  }
  std::size_t size() const { return K == 0 ? count : K; }
  std::size_t n_events() const { return n_event_count; }
  double density(std::size_t e) const {
    return mixture_density<K>(column.data(), yield.data(), count, e);
  }
  std::size_t count;
  std::size_t n_event_count;
  std::vector<const double*> column;
  std::vector<double> yield;
};

}  // namespace tarnwex::model_detail
