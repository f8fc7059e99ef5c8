// The PDF values at one shape point, and their checks: the one place that
// asks the PDFs for values, knows which values have already been checked,
// and hands the event loops their columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "fit/core/interrupt_check.h"
#include "fit/core/splot_error.h"
#include "fit/inputs/event_view.h"
#include "fit/inputs/parameter_map.h"
#include "fit/inputs/parametric_pdf.h"
#include "fit/likelihood/declared_dependence.h"
#include "fit/likelihood/log_density_sum.h"

namespace tarnwex {

// Every PDF's values pass two checks before a loop uses them: each value is
// finite and not negative (PDF k's before PDF k + 1 runs), and no event is
// zero in every PDF. A PDF that hands out the same values again (the same
// non-zero revision) is not checked again.
//
// A PDF that declares its shape parameters is asked only when one of them
// has moved since its last column (declared_dependence.h); otherwise that
// column, already checked, serves again.
//
// A column is a view into storage the PDF keeps until its next call. So the
// one rule of lifetime: before a PDF is asked again, for any purpose and
// whatever the call's outcome, its last column is given up, and nothing
// here reads it afterwards.
class ShapePointValues {
 public:
  // The events and PDFs are borrowed and must outlive this object. The
  // checks' scans consult `interrupted` between blocks of events.
  ShapePointValues(const EventView& events, const PdfList& pdfs, DeclaredDependence dependence,
                   InterruptCheck interrupted = {});

  // Asks the PDFs, in component order, for their values at `parameters`,
  // whose values in shape-parameter order are `point`, and checks them. A PDF
  // is not asked when its last column holds for `point`. With `defer` the
  // checks that no later PDF call has to wait for (the values of the last
  // PDF asked, the all-zero-event scan) are left to the event loop and returned; the
  // caller must then call `settle` with the loop's outcome before it uses
  // the values or reports any other error.
  std::expected<DeferredChecks, SPlotError> load(const ParameterMap& parameters,
                                                 std::span<const double> point,
                                                 bool defer = false);

  // A copy of PDF k's column that a load at `point` would use again, if it
  // would use one.
  std::optional<std::vector<double>> held_column(std::size_t k, std::span<const double> point) const;
  // PDF k asked afresh at `parameters`, its values checked (finite, not
  // negative: else its error) and copied out. Its column at
  // hand is given up; with `point` (the shape values of `parameters`) the
  // new one is at hand instead, for loads at that point.
  std::expected<std::vector<double>, SPlotError> fresh_column(std::size_t k,
                                                              const ParameterMap& parameters,
                                                              std::span<const double> point = {});
  const DeclaredDependence& dependence() const { return dependence_; }

  // After an event loop that ran the deferred checks: when the loop noticed
  // a failure or stopped early, the exact checks find and report it; when
  // it saw every value and no failure, the checks count as made.
  std::expected<void, SPlotError> settle(DeferredChecks deferred, const LoopOutcome& outcome);

  // The values of the last load, one column per PDF; valid until the next
  // load or until a PDF is called elsewhere.
  std::span<const std::span<const double>> columns() const { return columns_; }

  // The values at `parameters` (whose values in shape-parameter order are
  // `point`), loaded and fully checked, for a model: column k views storage
  // PDF k keeps until its next call, so a caller copies what must outlive
  // that.
  std::expected<std::vector<std::span<const double>>, SPlotError> load_checked(
      const ParameterMap& parameters, std::span<const double> point);

 private:
  // PDF k's values at `parameters`, of the right length. Its last column is
  // given up first.
  std::expected<PdfValuesView, SPlotError> ask(std::size_t k, const ParameterMap& parameters);
  // PDF k's values are finite and not negative (else its error); says
  // whether none is zero.
  std::expected<bool, SPlotError> check_column(std::size_t k, std::span<const double> values);
  // Runs only on columns that passed check_column.
  std::expected<void, SPlotError> scan_all_zero(std::span<const std::span<const double>> columns);

  EventView events_;
  PdfList pdfs_;
  InterruptCheck interrupted_;
  std::vector<std::vector<double>> scratch_;
  std::vector<bool> held_;  // of the load in progress: the column at hand serves
  std::vector<std::span<const double>> columns_;
  std::vector<std::uint64_t> revisions_;
  // Revisions whose values passed the per-PDF checks, and the revisions of the
  // last set that passed the all-zero-event scan; 0 means none.
  std::vector<std::uint64_t> checked_revisions_;
  std::vector<bool> checked_zero_free_;  // per checked revision: no value is zero
  std::vector<std::uint64_t> scanned_revisions_;
  // What each PDF's last view said of itself, for when its column serves again.
  std::vector<PdfValuesView> last_views_;
  DeclaredDependence dependence_;
};

}  // namespace tarnwex
