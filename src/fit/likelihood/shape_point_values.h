// The PDF values at one shape point, and their checks: the one place that
// asks the PDFs for values, knows which values have already been checked,
// and hands the event loops their columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "fit/core/interrupt_check.h"
#include "fit/core/splot_error.h"
#include "fit/inputs/event_view.h"
#include "fit/inputs/parameter_map.h"
#include "fit/inputs/parametric_pdf.h"
#include "fit/likelihood/column_reuse.h"
#include "fit/likelihood/log_density_sum.h"

namespace tarnwex {

// Every PDF's values pass two checks before a loop uses them: each value is
// finite and not negative (PDF k's before PDF k + 1 runs), and no event is
// zero in every PDF. A PDF that hands out the same values again (the same
// non-zero revision) is not checked again.
//
// A PDF is asked only when a shape parameter it depends on has moved since
// its last column (column_reuse.h); otherwise that column, already checked,
// serves again.
class ShapePointValues {
 public:
  // The events and PDFs are borrowed and must outlive this object. The
  // checks' scans consult `interrupted` between blocks of events.
  ShapePointValues(const EventView& events, const PdfList& pdfs, std::size_t n_shapes,
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

  // Asks every PDF whose last column a load at `point` would use again for
  // its values there, and says whether each gave the same bits. Once one has
  // not, the reuse is switched off: every later load asks every PDF.
  std::expected<bool, SPlotError> reused_columns_hold(const ParameterMap& parameters,
                                                      std::span<const double> point);

  // After an event loop that ran the deferred checks: when the loop noticed
  // a failure or stopped early, the exact checks find and report it; when
  // it saw every value and no failure, the checks count as made.
  std::expected<void, SPlotError> settle(DeferredChecks deferred, const LoopOutcome& outcome);

  // The values of the last load, one column per PDF; valid until the next
  // load or until a PDF is called elsewhere.
  std::span<const std::span<const double>> columns() const { return columns_; }

  // Values owned by the caller, loaded and fully checked at `parameters`:
  // columns[k] views owned[k] or storage PDF k keeps until its next call.
  struct Owned {
    std::vector<std::vector<double>> owned;
    std::vector<std::span<const double>> columns;
  };
  std::expected<Owned, SPlotError> load_owned(const ParameterMap& parameters);

 private:
  std::expected<DeferredChecks, SPlotError> load_into(const ParameterMap& parameters,
                                                      std::span<const double> point,
                                                      std::span<std::vector<double>> scratch,
                                                      std::span<std::span<const double>> columns,
                                                      bool defer);
  // PDF k's values at `parameters`, of the right length, and with `compare`
  // whether they are the bits of its last column (columns_[k]), which is
  // kept through the call for that.
  struct Answer {
    PdfValuesView view;
    bool same = false;
  };
  std::expected<Answer, SPlotError> ask(std::size_t k, const ParameterMap& parameters,
                                        std::vector<double>& scratch, bool compare);
  // After PDF k gave new values of `revision` (its last ones are still
  // recorded): when they are the same bits, what was checked of the last
  // ones holds for them.
  void inherit_checks(std::size_t k, bool same, std::uint64_t revision);
  // PDF k's values are finite and not negative (else its error); says
  // whether none is zero.
  std::expected<bool, SPlotError> check_column(std::size_t k, std::span<const double> values);
  // Runs only on columns that passed check_column.
  std::expected<void, SPlotError> scan_all_zero(std::span<const std::span<const double>> columns);

  EventView events_;
  PdfList pdfs_;
  InterruptCheck interrupted_;
  std::vector<std::vector<double>> scratch_;
  std::vector<ColumnReuse::Plan> plans_;  // of the load in progress
  std::vector<std::span<const double>> columns_;
  std::vector<std::uint64_t> revisions_;
  // Revisions whose values passed the per-PDF checks, and the revisions of the
  // last set that passed the all-zero-event scan; 0 means none.
  std::vector<std::uint64_t> checked_revisions_;
  std::vector<bool> checked_zero_free_;  // per checked revision: no value is zero
  std::vector<std::uint64_t> scanned_revisions_;
  // What each PDF's last view said of itself, for when its column serves again.
  std::vector<PdfValuesView> last_views_;
  ColumnReuse reuse_;
  std::vector<double> previous_;  // a column kept through the call that replaces it
};

}  // namespace tarnwex
