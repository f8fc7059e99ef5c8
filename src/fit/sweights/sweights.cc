#include "fit/sweights/sweights.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fit/inputs/pdf_value_checks.h"
#include "fit/model/component_count.h"
#include "fit/model/model_loops.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

namespace {

using model_detail::Components;
using model_detail::density_not_positive;

template <std::size_t K>
std::expected<RowMatrix, SPlotError> sweight_rows(const Components<K>& model,
                                                  const Matrix& covariance,
                                                  std::span<const double> weights,
                                                  const InterruptCheck& interrupted) {
  const std::size_t n = model.size();
  std::vector<double> coefficients(n * n);  // row-major copy of the covariance
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < n; ++k) {
      coefficients[j * n + k] =
          covariance(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(k));
    }
  }
  const double* const* column = model.column.data();
  RowMatrix sweights;
  sweights.rows = model.n_events();
  sweights.cols = n;
  sweights.values.reserve(model.n_events() * n);
  std::size_t bad = model.n_events();
  std::uint64_t marks = 0;  // non_finite_mark of every sWeight, OR-ed
  auto looped = interrupted.for_event_blocks(model.n_events(), [&](std::size_t first,
                                                                   std::size_t end) {
    // Grown block by block, so that what a resize zeroes is still in the
    // cache when the loop writes it: zeroing all n_events x K values first
    // would cost a pass of its own. The loop has no early exit, so that it
    // vectorises; a block where some density is not positive and finite is
    // read again for the first such event.
    sweights.values.resize(end * n);
    double* out = sweights.values.data();
    bool some_bad = false;
    for (std::size_t e = first; e < end; ++e) {
      const double density = model.density(e);
      some_bad |= !(density > 0.0 && density <= std::numeric_limits<double>::max());
      const double weight = weight_of(weights, e);
      for (std::size_t j = 0; j < n; ++j) {
        const double* v = coefficients.data() + j * n;
        double s = v[0] * column[0][e];
        for (std::size_t k = 1; k < n; ++k) s += v[k] * column[k][e];
        const double sweight = s * weight / density;
        out[e * n + j] = sweight;
        marks |= non_finite_mark(sweight);
      }
    }
    if (!some_bad) return true;
    for (std::size_t e = first; e < end; ++e) {
      const double density = model.density(e);
      if (!std::isfinite(density) || !(density > 0.0)) {
        bad = e;
        return false;
      }
    }
    return true;
  });
  const bool finite = !some_non_finite(marks);
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (bad != model.n_events()) return density_not_positive(bad);
  // Weights or densities at the edge of the double range can overflow an
  // sWeight even where every check before passed; such a result is no success.
  if (!finite) {
    return std::unexpected(SPlotError::optimization(
        "sWeights are not finite: rescale the event weights or the PDFs"));
  }
  return sweights;
}

}  // namespace

std::expected<RowMatrix, SPlotError> calculate_sweights(const EvaluatedModel& model,
                                                        std::span<const double> yields,
                                                        const Matrix& covariance) {
  const std::size_t n_components = model.n_components();
  if (yields.size() != n_components) internal_error("yields do not match the components");
  if (covariance.rows() != static_cast<Eigen::Index>(n_components) ||
      covariance.cols() != static_cast<Eigen::Index>(n_components)) {
    internal_error("covariance does not match the components");
  }
  return for_component_count(n_components, [&]<std::size_t K>() {
    return sweight_rows(Components<K>(model.columns(), yields), covariance, model.event_weights(),
                        model.interrupt_check());
  });
}

}  // namespace tarnwex
